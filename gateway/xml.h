// Reading the router's XML: one parse helper that owns its Expat parser, the mending
// every answer goes through first, and the small text helpers of the answers and the
// requests. Element names are compared whole and case-sensitively, as written (no
// namespace processing).
#ifndef PORTWRANGLER_GATEWAY_XML_H_
#define PORTWRANGLER_GATEWAY_XML_H_

#include <cstddef>
#include <string>

#include "base/error.h"

/// What a parse reports, element by element; each gets the `state` given to xml_parse.
/// A handler may throw (an allocation failing): the parse stops there and fails.
struct XmlHandlers {
  void (*start)(void* state, const char* name);
  void (*end)(void* state, const char* name);
  void (*text)(void* state, const char* text, size_t length);
};

/// kOk when `document`, mended (xml_mend), is well-formed XML, with every event handed
/// to `handlers`; kGatewayUnparsable when it is not, kNoMemory when the parser or a
/// handler ran out of memory. The parser is freed on every path.
Error xml_parse(const std::string& document, const XmlHandlers& handlers, void* state);

/// Whether `document`, mended, is well-formed XML (a body cut short seldom is).
bool xml_well_formed(const std::string& document);

/// `document` with every '&' that does not begin one of the predefined entity references
/// or a character reference written as "&amp;" (any "&name;" counts as a reference in a
/// document with a DOCTYPE, which may declare it), and, in a document without one, every
/// '<' that cannot open a tag (no name or '/' after it, or no '>' before the next '<')
/// written as "&lt;". Routers send such bytes in texts a client stored, or from past
/// the end of their own buffers; everything else, and the inside of comments, CDATA
/// sections and processing instructions, is left as it is, so a well-formed document
/// is unchanged.
std::string xml_mend_markup(const std::string& document);

/// `document` with the raw content of the first element `name` taken as text: each '<'
/// and '>' in it written as a reference, and each '&' that begins no reference as
/// "&amp;". The content runs to the last end tag of that name, so a stored text holding
/// the tag itself stays inside. For an element whose content is a string a client stored
/// and a router hands back byte for byte: a text holding "<?", "<!--", "<![CDATA[",
/// "<!DOCTYPE" or "x<br>y" is that text, not markup. Without such an element the
/// document is unchanged.
std::string xml_mend_text_of(const std::string& document, const std::string& name);

/// Whether `document` is UTF-8 as far as its parser is concerned: no byte order mark or
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

/// `text` fit to send (text_for_sending) with & < > " ' written as entity references,
/// for element content: well-formed XML and UTF-8, whatever the bytes given.
std::string xml_escape(const std::string& text);

#endif  // PORTWRANGLER_GATEWAY_XML_H_
