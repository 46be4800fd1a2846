// A held set's file (--hold FILE): one request a line, as on a command line, with the
// line's own long options; read here into lines, nothing run.
#ifndef PORTWRANGLER_CLI_HOLDFILE_H_
#define PORTWRANGLER_CLI_HOLDFILE_H_

#include <string>
#include <vector>

#include "cli/records.h"

/// One line of a held set's file, as parsed.
struct HoldLine {
  int number = 0;         // its line number, from 1
  std::string key;        // its words after parsing: the same words, the same entry
  int code = 0;           // the CommandCode: an add or -pinhole -add
  RequestRecord request;  // what it asks for, its lease set
  std::string via = "upnp";
};

/// Splits `line` into words as a shell would, but runs nothing: blanks part words, '...'
/// keeps everything, "..." keeps all but \" \\ \$ \` (escaped), a backslash outside quotes
/// keeps the next character, and a '#' that starts a word ends the line. false with
/// `*problem` for an unclosed quote.
bool hold_split_words(const std::string& line, std::vector<std::string>* words,
                      std::string* problem);

/// Parses a held set's file text `text`, named `file` in what it says. true with every
/// entry in `*lines`; false with `*problem` as "FILE:LINE: what is wrong".
bool hold_parse(const std::string& text, const std::string& file, std::vector<HoldLine>* lines,
                std::string* problem);

#endif  // PORTWRANGLER_CLI_HOLDFILE_H_
