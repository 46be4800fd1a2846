#include "base/error.h"

const char* error_name(Error error) {
  switch (error) {
#define PW_ERROR_NAME(name, value, text) \
  case Error::k##name:                   \
    return #name;
    PW_ERRORS(PW_ERROR_NAME)
#undef PW_ERROR_NAME
  }
  return "Unknown";  // a value cast from outside the list
}

const char* error_text(Error error) {
  switch (error) {
#define PW_ERROR_TEXT(name, value, text) \
  case Error::k##name:                   \
    return text;
    PW_ERRORS(PW_ERROR_TEXT)
#undef PW_ERROR_TEXT
  }
  return "an unknown error";
}
