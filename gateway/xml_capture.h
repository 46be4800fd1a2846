// One Expat pass that captures the texts of a fixed list of element names. Names are
// compared whole and case-sensitively, as written (no namespace processing). All the
// character data of one element occurrence is kept together, so entity references and
// line breaks do not split it; a later element of the same name replaces the earlier.
#ifndef PORTWRANGLER_GATEWAY_XML_CAPTURE_H_
#define PORTWRANGLER_GATEWAY_XML_CAPTURE_H_

#include <cstddef>
#include <string>

#include "base/result_codes.h"

/// One watched element name and what the parse found of it.
struct XmlWatch {
  XmlWatch(const char* watched) : name(watched) {}  // NOLINT: tables list bare names
  const char* name;
  int occurrences = 0;         // elements of this name that ended
  std::string last;            // text of the last of them (possibly empty)
  bool delivered = false;      // some occurrence carried character data
  std::string last_delivered;  // text of the last occurrence that carried any
  // Parse state.
  bool inside = false;
  std::string pending;
};

/// 0 when `document` is well-formed XML once mended (xml_mend), with the watches
/// filled; -696 when it is not, -499 when no parser could be had.
/// Character data goes to the first watch (in list order) whose element is open.
int xml_capture(const std::string& document, XmlWatch* watches, size_t count);

/// `document` with every '&' that does not begin one of the predefined entity references
/// or a character reference written as "&amp;" (any "&name;" counts as a reference in a
/// document with a DOCTYPE, which may declare it), and, in a document without one, every
/// '<' that cannot open a tag (no name or '/' after it, or no '>' before the next '<')
/// written as "&lt;". Routers send such bytes in texts a client stored, or from past
/// the end of their own buffers; everything else, and the inside of comments, CDATA
/// sections and processing instructions, is left as it is, so a well-formed document
/// is unchanged.
std::string xml_mend_markup(const std::string& document);

/// 1 when `document` is UTF-8 as far as its parser is concerned: no byte order mark or
/// the UTF-8 one, and no encoding declared or UTF-8 declared. UTF-16 and documents that
/// declare another encoding are not.
bool xml_is_utf8_document(const std::string& document);

/// What every answer from a router goes through before it is parsed. A UTF-8 document
/// has its stray bytes read as Latin-1, its control characters made blanks (both as
/// text_mend_xml_chars) and its stray '&' and '<' mended (xml_mend_markup): routers
/// hand back what a client stored, byte for byte, and one such entry must not make the
/// answer unreadable. A document in another encoding is handed over as it is. A
/// document its parser accepts comes back unchanged.
std::string xml_mend(const std::string& document);

/// `text` without the white space around it.
std::string xml_trim(const std::string& text);

/// The value of the usual text-to-integer conversion of `text` (white space skipped,
/// an optional sign, the digits up to the first other character; 0 when none),
/// saturated rather than overflowing.
long xml_number(const std::string& text);

/// `text` fit to send (text_for_sending) with & < > " ' written as entity references,
/// for element content: well-formed XML and UTF-8, whatever the bytes given.
std::string xml_escape(const std::string& text);

#endif  // PORTWRANGLER_GATEWAY_XML_CAPTURE_H_
