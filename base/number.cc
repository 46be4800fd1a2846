#include "base/number.h"

#include "base/text.h"

namespace {

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_xml_space(text[begin])) ++begin;
  while (end > begin && is_xml_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

bool number_read(const std::string& text, uint64_t max, uint64_t* value) {
  const std::string digits = trimmed(text);
  if (digits.empty()) return false;
  uint64_t read = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    // Checked before the step, so that no digit run can wrap.
    if (digit > max || read > (max - digit) / 10) return false;
    read = read * 10 + digit;
  }
  *value = read;
  return true;
}

Truth truth_read(const std::string& text) {
  const std::string word = trimmed(text);
  if (word == "1" || text_equal_ignoring_case(word, "true") ||
      text_equal_ignoring_case(word, "yes")) {
    return Truth::kTrue;
  }
  if (word == "0" || text_equal_ignoring_case(word, "false") ||
      text_equal_ignoring_case(word, "no")) {
    return Truth::kFalse;
  }
  return Truth::kUnknown;
}
