// The terminal behind the console operations on POSIX systems.
#ifndef PORTWRANGLER_FRONT_TERMINAL_H_
#define PORTWRANGLER_FRONT_TERMINAL_H_

#include <cstdint>
#include <string>

/// The ANSI SGR sequence for a console attribute byte ("\x1b[0m" for the default 0x07).
std::string terminal_colour_sequence(uint16_t attribute);

#endif  // PORTWRANGLER_FRONT_TERMINAL_H_
