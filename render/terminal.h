// The terminal behind the console operations on POSIX systems.
#ifndef PORTWRANGLER_RENDER_TERMINAL_H_
#define PORTWRANGLER_RENDER_TERMINAL_H_

#include <cstdint>
#include <string>

/// The ANSI SGR sequence for a console attribute byte ("\x1b[0m" for the default 0x07).
std::string terminal_colour_sequence(uint16_t attribute);

#endif  // PORTWRANGLER_RENDER_TERMINAL_H_
