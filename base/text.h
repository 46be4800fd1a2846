// Text as bytes from outside: what the user typed, what a router answered. Every
// helper here reads any bytes without complaint; what they hand back is UTF-8. Used by
// all three layers, so it depends on none of them.
//
// A byte that does not begin a well-formed UTF-8 sequence (no overlong forms, no
// surrogates, nothing past U+10FFFF) is read as the Latin-1 character of that value:
// that is what such bytes most often are, and it never loses a byte.
#ifndef PORTWRANGLER_BASE_TEXT_H_
#define PORTWRANGLER_BASE_TEXT_H_

#include <cstddef>
#include <string>
#include <vector>

/// Whether every byte of `text` belongs to a well-formed UTF-8 sequence.
bool text_is_utf8(const std::string& text);

/// `text` made fit to send inside XML: a text that is not UTF-8 as a whole is taken as
/// Latin-1; C0 control characters other than tab become blanks, and the two characters
/// XML cannot carry (U+FFFE, U+FFFF) become U+FFFD. Clean UTF-8 comes back unchanged.
std::string text_for_sending(const std::string& text);

/// The bytes of an XML document made fit for an XML 1.0 parser: each stray byte as its
/// Latin-1 character, C0 controls other than tab, line feed and carriage return as
/// blanks, U+FFFE and U+FFFF as U+FFFD. A document without such bytes is unchanged.
std::string text_mend_xml_chars(const std::string& document);

/// `text` as the terminal may show it: stray bytes as their Latin-1 characters; every
/// control character (C0, DEL, C1) and every character that reorders or breaks the line
/// (bidirectional controls, line and paragraph separators) as a blank; a character a
/// terminal may not know (unassigned, a noncharacter, newer than the widths terminals
/// draw by) as U+FFFD; the zero-width joiner left out, so that no two characters are
/// drawn as one.
std::string text_printable(const std::string& text);

/// The columns `text` takes once printable, as glibc's wcwidth (what tmux and most
/// terminals draw by) counts them: East Asian wide characters 2, combining marks and
/// format characters 0, everything else 1. The widths come from a table made from the
/// Unicode Character Database at build time (tools/char-classes.py).
size_t text_columns(const std::string& text);

/// Shortens a text wider than `limit` columns to its first `keep` columns (never
/// cutting a character) followed by "...".
void text_shorten(std::string* text, size_t limit, size_t keep);

/// `text` followed (right) or preceded (left) by blanks up to `columns` columns; a
/// wider text is not cut.
std::string text_pad_right(const std::string& text, size_t columns);
std::string text_pad_left(const std::string& text, size_t columns);

/// The length of the longest leading part of `text` of at most `bytes` bytes that does
/// not end inside a UTF-8 sequence.
size_t text_fit_bytes(const std::string& text, size_t bytes);

/// `text` cut to at most `bytes` bytes where a character ends: half a UTF-8 sequence
/// would print as a stray byte.
std::string text_cut(const std::string& text, size_t bytes);

/// `parts` one after another, `between` between each two.
std::string text_joined(const std::vector<std::string>& parts, const char* between);

/// `text` with a..z upper-cased and every other byte unchanged.
std::string text_upper_ascii(std::string text);

/// Whether `a` and `b` are equal ignoring ASCII letter case.
bool text_equal_ignoring_case(const std::string& a, const std::string& b);

/// Whether `c` is one of the ASCII digits 0..9 (never another script's digit, whatever
/// the locale).
inline bool text_is_digit(char c) {
  return c >= '0' && c <= '9';
}

#endif  // PORTWRANGLER_BASE_TEXT_H_
