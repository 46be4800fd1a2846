// The capture of a fixed list of watched element names: the parse that the external
// address, the entries, the device information and the SOAP faults share. All the
// character data of one element occurrence is kept together, so entity references and
// line breaks do not split it; a later element of the same name replaces the earlier.
#ifndef PORTWRANGLER_GATEWAY_XML_CAPTURE_H_
#define PORTWRANGLER_GATEWAY_XML_CAPTURE_H_

#include <cstddef>
#include <string>

#include "base/error.h"

/// One watched element name and what the parse found of it.
struct XmlWatch {
  XmlWatch(const char* watched) : name(watched) {}  // NOLINT: tables list bare names
  const char* name;
  int occurrences = 0;         // elements of this name that ended
  std::string last;            // text of the last of them (possibly empty)
  bool nested = false;         // the last of them held elements: `last` is their texts run together
  bool delivered = false;      // some occurrence carried character data
  std::string last_delivered;  // text of the last occurrence that carried any
  // Parse state.
  bool inside = false;
  std::string pending;
  bool pending_nested = false;
};

/// kOk when `document` is well-formed XML once mended, with the watches filled;
/// kGatewayUnparsable when it is not, kNoMemory. Character data goes to the first watch
/// (in list order) whose element is open.
Error xml_capture(const std::string& document, XmlWatch* watches, size_t count);

#endif  // PORTWRANGLER_GATEWAY_XML_CAPTURE_H_
