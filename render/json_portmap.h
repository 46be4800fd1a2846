// The JSON documents of the commands through NAT-PMP and PCP, and of pinholes through PCP.
#ifndef PORTWRANGLER_RENDER_JSON_PORTMAP_H_
#define PORTWRANGLER_RENDER_JSON_PORTMAP_H_

#include <string>

#include "flows/pinhole.h"
#include "flows/portmap.h"
#include "portmap/exchange.h"

/// The document of a command through NAT-PMP or PCP at `gateway`.
std::string json_portmap_document(const PortmapResult& result, const PortmapGateway& gateway);

/// Writes the document of a command through NAT-PMP or PCP, its notes said first on
/// standard error; a failure to build it (memory) leaves a short one.
void json_portmap_write(const PortmapResult& result, const PortmapGateway& gateway);

/// The document of a pinhole command through PCP (render/json.cc, beside the UPnP one).
std::string json_pcp_pinhole_document(const PcpPinholeResult& result);

#endif  // PORTWRANGLER_RENDER_JSON_PORTMAP_H_
