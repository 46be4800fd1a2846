// The description parse has its own matching rules: a serviceType text selects the
// service, and the next controlURL to start after it supplies the control URL.
#include "gateway/description.h"

#include <cstring>

#include "base/guard.h"
#include "base/limits.h"
#include "base/trace.h"
#include "gateway/xml.h"
#include "net/http.h"

namespace {

struct DescriptionParse {
  std::string control_text;
  bool have_control = false;
  std::string base_text;
  bool have_base = false;
  std::string wanted_urn;
  bool in_base = false;
  bool in_service_type = false;
  bool service_matched = false;
  bool in_control = false;
  std::string pending;  // character data of the element open now
};

void on_description_start(void* state, const char* name) {
  DescriptionParse* parse = static_cast<DescriptionParse*>(state);
  // URLBase is the element's name in device descriptions; baseURL is taken as well.
  if (std::strcmp(name, "URLBase") == 0 || std::strcmp(name, "baseURL") == 0) {
    parse->in_base = true;
  } else if (std::strcmp(name, "serviceType") == 0) {
    parse->in_service_type = true;
  } else if (std::strcmp(name, "controlURL") == 0) {
    parse->in_control = true;
  } else {
    return;
  }
  parse->pending.clear();
}

void on_description_end(void* state, const char*) {
  DescriptionParse* parse = static_cast<DescriptionParse*>(state);
  std::string text = xml_trim(parse->pending);
  if (parse->in_base) {
    parse->base_text = text;
    parse->have_base = !text.empty();
  } else if (parse->in_service_type) {
    if (service_type_matches(text, parse->wanted_urn)) parse->service_matched = true;
  } else if (parse->service_matched && parse->in_control) {
    parse->control_text = text;
    parse->have_control = !text.empty();
  }
  parse->in_base = false;
  parse->in_service_type = false;
  if (parse->service_matched) {
    if (parse->in_control) {
      parse->service_matched = false;
      parse->in_control = false;
    }
  } else {
    parse->in_control = false;
  }
  parse->pending.clear();
}

void on_description_text(void* state, const char* text, size_t length) {
  DescriptionParse* parse = static_cast<DescriptionParse*>(state);
  if (parse->in_base || parse->in_service_type || (parse->service_matched && parse->in_control)) {
    parse->pending.append(text, length);
  }
}

/// The version number that ends `urn` after its last ':', or -1 when it does not end in
/// one; numbers too long to matter count as the greatest.
long urn_version(const std::string& urn, size_t* colon) {
  *colon = urn.rfind(':');
  if (*colon == std::string::npos || *colon + 1 == urn.size()) return -1;
  long version = 0;
  for (size_t i = *colon + 1; i < urn.size(); ++i) {
    if (urn[i] < '0' || urn[i] > '9') return -1;
    version = version > 99999999 ? version : version * 10 + (urn[i] - '0');
  }
  return version;
}

}  // namespace

bool service_urn_at_least(const std::string& urn, const std::string& wanted_urn) {
  // A later version of the same service also offers every action of the one wanted.
  size_t wanted_colon = 0, colon = 0;
  const long wanted = urn_version(wanted_urn, &wanted_colon);
  const long version = urn_version(urn, &colon);
  return wanted >= 0 && version >= wanted && colon == wanted_colon &&
         urn.compare(0, colon, wanted_urn, 0, wanted_colon) == 0;
}

namespace {

/// The composed control URL judged by the address it names, and given the zone its
/// description came over.
Error control_url_checked(const Url& location, std::string* control_url) {
  Url control;
  // One that does not parse reaches no host: the call that would use it fails.
  if (url_parse(*control_url, &control) != Error::kOk) return Error::kOk;
  // A link-local host means something on the link the description came over alone.
  if (url_host_link_local(control) && control.zone.empty() && !location.zone.empty()) {
    control.zone = location.zone;
    *control_url = url_text(control);
  }
  // A router is never this host's own loopback, but a description this host serves
  // itself may name it.
  const char* refusal = url_host_refusal(control);
  if (refusal != nullptr && !(url_host_loopback(control) && url_host_loopback(location))) {
    trace("control URL %s refused: it names %s", control_url->c_str(), refusal);
    return Error::kHttpRefusedHost;
  }
  return Error::kOk;
}

}  // namespace

bool service_type_matches(const std::string& text, const std::string& wanted_urn) {
  if (text.empty()) return false;
  return wanted_urn.compare(0, text.size(), text) == 0 || service_urn_at_least(text, wanted_urn);
}

std::string join_control_url(const std::string& base, const std::string& path) {
  size_t base_end = base.size();
  while (base_end > 0 && base[base_end - 1] == '/') --base_end;
  size_t path_begin = 0;
  while (path_begin < path.size() && path[path_begin] == '/') ++path_begin;
  return base.substr(0, base_end) + "/" + path.substr(path_begin);
}

Error gateway_parse_description(GatewayHandle* gateway, const std::string& location,
                                const std::string& description) {
  return guard_allocation([&] {
    Url where;
    Error error = url_parse(location, &where);
    if (error != Error::kOk) return error;
    const std::string default_base = url_authority(where);

    static const XmlHandlers kHandlers = {on_description_start, on_description_end,
                                          on_description_text};
    DescriptionParse parse;
    parse.wanted_urn = gateway_service_urn(gateway->service_type);
    error = xml_parse(description, kHandlers, &parse);
    if (error == Error::kGatewayUnparsable) return Error::kGatewayDescriptionUnparsable;
    if (error != Error::kOk) return error;
    if (!parse.have_control) return Error::kGatewayNoControlUrl;

    const std::string& base = parse.have_base ? parse.base_text : default_base;
    std::string url = parse.control_text.compare(0, 7, "http://") == 0
                          ? parse.control_text
                          : join_control_url(base, parse.control_text);
    error = control_url_checked(where, &url);
    if (error != Error::kOk) return error;
    if (url.size() > kUrlMax) return Error::kGatewayTooLong;
    gateway->control_url = url;
    return Error::kOk;
  });
}

namespace {

/// The summary being read: the element open now and its text so far.
struct SummaryParse {
  DescriptionSummary* summary;
  std::string open;
  std::string text;
  bool named = false;
};

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void summary_start(void* state, const char* name) {
  SummaryParse* parse = static_cast<SummaryParse*>(state);
  parse->open = name;
  parse->text.clear();
}

void summary_end(void* state, const char* name) {
  SummaryParse* parse = static_cast<SummaryParse*>(state);
  if (parse->open != name) return;
  const std::string text = trimmed(parse->text);
  if (parse->open == "deviceType") parse->summary->device_types.push_back(text);
  if (parse->open == "serviceType") parse->summary->service_types.push_back(text);
  if (parse->open == "friendlyName" && !parse->named) {
    parse->summary->friendly_name = text;
    parse->named = true;
  }
  parse->open.clear();
}

void summary_text(void* state, const char* text, size_t length) {
  SummaryParse* parse = static_cast<SummaryParse*>(state);
  if (!parse->open.empty() && parse->text.size() < kDescriptionMax)
    parse->text.append(text, length);
}

}  // namespace

Error gateway_description_summary(const std::string& description, DescriptionSummary* summary) {
  return guard_allocation([&] {
    SummaryParse parse{summary, "", "", false};
    const XmlHandlers handlers = {summary_start, summary_end, summary_text};
    const Error error = xml_parse(description, handlers, &parse);
    return error == Error::kGatewayUnparsable ? Error::kGatewayDescriptionUnparsable : error;
  });
}
