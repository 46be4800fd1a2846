// The pure parts that run once per entry of a listing, on real answers of miniupnpd
// captured in the lab: a slowdown in any of them shows here as a number.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gateway/description.h"
#include "gateway/mapping.h"
#include "gateway/soap.h"
#include "net/http.h"

namespace {

/// Stops the whole run: a benchmark of a parse that fails measures nothing.
void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "micro_bench: %s\n", what);
  std::abort();
}

std::string capture(const char* name) {
  std::ifstream file(std::string(PORTWRANGLER_CORPUS) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  require(!text.str().empty(), name);
  return text.str();
}

void entry_parse(benchmark::State& state, const std::string& body) {
  MappingEntry entry;
  for (auto _ : state) {
    require(gateway_parse_mapping_entry(body, &entry) == Error::kOk, "entry not parsed");
    benchmark::DoNotOptimize(entry.external_port);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_EntryParse(benchmark::State& state) {
  entry_parse(state, capture("mapping_entry/lab-miniupnpd"));
}
BENCHMARK(BM_EntryParse);

// The same answer with a bare '&' in its description, as this daemon sends one.
void BM_EntryParseBareAmpersand(benchmark::State& state) {
  std::string body = capture("mapping_entry/lab-miniupnpd");
  size_t at = body.find("</NewPortMappingDescription>");
  entry_parse(state, body.insert(at, " & more"));
}
BENCHMARK(BM_EntryParseBareAmpersand);

void BM_HeadParse(benchmark::State& state) {
  const std::string response = capture("http_head/lab-entry");
  const std::string head = response.substr(0, response.find("\r\n\r\n") + 4);
  for (auto _ : state) {
    int status = 0;
    require(http_status(head, &status) == Error::kOk, "no status");
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(http_content_length(head));
  }
}
BENCHMARK(BM_HeadParse);

void BM_EntryEnvelope(benchmark::State& state) {
  for (auto _ : state) {
    const std::string envelope = soap_envelope("WANIPConnection:1", "GetGenericPortMappingEntry",
                                               "<NewPortMappingIndex>42</NewPortMappingIndex>\r\n");
    benchmark::DoNotOptimize(envelope.data());
  }
}
BENCHMARK(BM_EntryEnvelope);

// Once per run, but the largest document the program parses.
void BM_DescriptionParse(benchmark::State& state) {
  const std::string description = capture("description/lab-miniupnpd");
  for (auto _ : state) {
    GatewayHandle gateway;
    gateway.service_type = "WANIPConnection:1";
    require(gateway_parse_description(&gateway, "http://192.168.77.1:2869/rootDesc.xml",
                                      description) == Error::kOk,
            "no control URL");
    benchmark::DoNotOptimize(gateway.control_url.data());
  }
}
BENCHMARK(BM_DescriptionParse);

}  // namespace

BENCHMARK_MAIN();
