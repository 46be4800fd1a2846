#include "base/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

/// The length (1 to 4) and code point of the well-formed UTF-8 sequence at `at`, or 0
/// when the byte there begins none.
size_t sequence_at(const std::string& text, size_t at, uint32_t* code) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t value = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

/// Calls `visit(code, at, length)` for each character of `text`; a stray byte comes as
/// its Latin-1 character with length 1 and `stray` set.
template <typename Visit>
void each_character(const std::string& text, Visit visit) {
  size_t at = 0;
  while (at < text.size()) {
    uint32_t code = 0;
    size_t length = sequence_at(text, at, &code);
    const bool stray = length == 0;
    if (stray) code = static_cast<unsigned char>(text[at]), length = 1;
    visit(code, at, length, stray);
    at += length;
  }
}

void append_utf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

constexpr uint32_t kBlank = 0x20;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kZeroWidthJoiner = 0x200D;
constexpr uint32_t kLeftOut = 0xFFFFFFFF;  // a map's word for "write nothing"

bool is_noncharacter(uint32_t code) {
  return code == 0xFFFE || code == 0xFFFF;
}

/// `text` with each character passed through `map` (which returns the character to
/// write, or kLeftOut); the same string when nothing changed.
template <typename Map>
std::string remap(const std::string& text, Map map) {
  std::string out;
  bool changed = false;
  each_character(text, [&](uint32_t code, size_t at, size_t length, bool stray) {
    const uint32_t mapped = map(code);
    if (!changed && !stray && mapped == code) return;
    if (!changed) out.assign(text, 0, at), changed = true;
    if (!stray && mapped == code) {
      out.append(text, at, length);
    } else if (mapped != kLeftOut) {
      append_utf8(&out, mapped);
    }
  });
  return changed ? out : text;
}

enum CharKind : uint8_t { kColumns0, kColumns1, kColumns2, kShownAsBlank, kShownAsStandIn };

struct CharRun {
  uint32_t first;
  CharKind kind;
};

// kCharRuns, made from the Unicode Character Database at build time.
#include "base/char_classes.inc"

CharKind kind_of(uint32_t code) {
  const CharRun* after =
      std::upper_bound(std::begin(kCharRuns), std::end(kCharRuns), code,
                       [](uint32_t value, const CharRun& run) { return value < run.first; });
  return after[-1].kind;  // the first run starts at U+0000
}

/// What the terminal is given for `code`: the character itself, a blank for one that
/// would move the cursor or reorder the line, U+FFFD for one a terminal may not know, or
/// nothing for the joiner. Terminals disagree on what a joiner joins (tmux draws whatever
/// follows it into the cell before), so without it each character is drawn alone.
uint32_t shown_as(uint32_t code) {
  if (code == kZeroWidthJoiner) return kLeftOut;
  switch (kind_of(code)) {
    case kShownAsBlank:
      return kBlank;
    case kShownAsStandIn:
      return kReplacement;
    default:
      return code;
  }
}

/// Columns of one character as text_printable shows it.
size_t character_columns(uint32_t code) {
  const uint32_t shown = shown_as(code);
  return shown == kLeftOut ? 0 : kind_of(shown);
}

std::string pad(const std::string& text, size_t columns, bool right) {
  const size_t width = text_columns(text);
  if (width >= columns) return text;
  const std::string blanks(columns - width, ' ');
  return right ? text + blanks : blanks + text;
}

}  // namespace

bool text_is_utf8(const std::string& text) {
  bool valid = true;
  each_character(text, [&](uint32_t, size_t, size_t, bool stray) { valid = valid && !stray; });
  return valid;
}

std::string text_for_sending(const std::string& text) {
  auto clean = [](uint32_t code) {
    if (code < 0x20 && code != '\t') return kBlank;
    return is_noncharacter(code) ? kReplacement : code;
  };
  if (text_is_utf8(text)) return remap(text, clean);
  // Not UTF-8 as a whole: the platform's single-byte text, every byte its character.
  std::string out;
  for (char byte : text) append_utf8(&out, clean(static_cast<unsigned char>(byte)));
  return out;
}

std::string text_mend_xml_chars(const std::string& document) {
  return remap(document, [](uint32_t code) {
    if (code < 0x20 && code != '\t' && code != '\n' && code != '\r') return kBlank;
    return is_noncharacter(code) ? kReplacement : code;
  });
}

std::string text_printable(const std::string& text) {
  return remap(text, shown_as);
}

size_t text_columns(const std::string& text) {
  size_t columns = 0;
  each_character(text,
                 [&](uint32_t code, size_t, size_t, bool) { columns += character_columns(code); });
  return columns;
}

void text_shorten(std::string* text, size_t limit, size_t keep) {
  if (text_columns(*text) <= limit) return;
  size_t columns = 0, cut = 0;
  bool full = false;
  each_character(*text, [&](uint32_t code, size_t at, size_t length, bool) {
    if (full) return;
    const size_t width = character_columns(code);
    // A mark that takes no column stays with the character before it.
    if (columns + width > keep) {
      full = true;
      return;
    }
    columns += width;
    cut = at + length;
  });
  *text = text->substr(0, cut) + "...";
}

std::string text_pad_right(const std::string& text, size_t columns) {
  return pad(text, columns, true);
}

std::string text_pad_left(const std::string& text, size_t columns) {
  return pad(text, columns, false);
}

size_t text_fit_bytes(const std::string& text, size_t bytes) {
  size_t fit = 0;
  each_character(text, [&](uint32_t, size_t at, size_t length, bool) {
    if (fit == at && at + length <= bytes) fit = at + length;
  });
  return fit;
}

std::string text_cut(const std::string& text, size_t bytes) {
  return text.substr(0, text_fit_bytes(text, bytes));
}

std::string text_upper_ascii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool text_equal_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string text_joined(const std::vector<std::string>& parts, const char* between) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
  return text;
}
