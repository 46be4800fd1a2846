// The one way a JSON document or line becomes text (render/ alone writes JSON).
#ifndef PORTWRANGLER_RENDER_JSON_TEXT_H_
#define PORTWRANGLER_RENDER_JSON_TEXT_H_

#include <nlohmann/json.hpp>
#include <string>

/// The text of a document: compact, one line ending in a line break, every text in it
/// mended as the screens show it (a line break, tab, DEL or other control character from
/// a router or the command line is a blank, so that no text forges a line of what a
/// script reads); `mend` false: the usage alone, whose lines are ours.
std::string json_text(nlohmann::json document, bool mend = true);

#endif  // PORTWRANGLER_RENDER_JSON_TEXT_H_
