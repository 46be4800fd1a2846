#include "base/text.h"

#include <cstdint>
#include <cstring>

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

bool is_noncharacter(uint32_t code) {
  return code == 0xFFFE || code == 0xFFFF;
}

/// Characters that move the cursor, switch the terminal's state or reorder the text
/// around them.
bool is_control(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E ||
         code == 0x200F || (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

/// `text` with each character passed through `map` (which returns the character to
/// write); the same string when nothing changed.
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
    } else {
      append_utf8(&out, mapped);
    }
  });
  return changed ? out : text;
}

struct Range {
  uint32_t first, last;
};

// Combining marks and other characters that take no column of their own.
const Range kZeroWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},   {0x200B, 0x200D}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D},
    {0x3099, 0x309A},   {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0001, 0xE007F},
    {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth characters, and the emoji terminals show two wide.
const Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x3029},
    {0x302E, 0x303E},   {0x3041, 0x3098},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C},
    {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0},
    {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC},
    {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A},
    {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5},
    {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC},
    {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945},
    {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <size_t N>
bool in_ranges(const Range (&ranges)[N], uint32_t code) {
  size_t low = 0, high = N;
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (code > ranges[middle].last) {
      low = middle + 1;
    } else if (code < ranges[middle].first) {
      high = middle;
    } else {
      return true;
    }
  }
  return false;
}

/// Columns of one character as text_printable shows it (a control shows as a blank).
size_t character_columns(uint32_t code) {
  if (is_control(code)) return 1;
  if (in_ranges(kZeroWidth, code)) return 0;
  return in_ranges(kWide, code) ? 2 : 1;
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
  return remap(text, [](uint32_t code) {
    if (is_control(code)) return kBlank;
    return is_noncharacter(code) ? kReplacement : code;
  });
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
