#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 5), two at a time, starting from the
# seed corpus in corpus/<target>/. New inputs go to a scratch corpus in the build tree,
# so the committed seeds stay small. A crash, a broken invariant, a leak or an input
# slower than 5 s fails the run and leaves the input as BUILD/tests/fuzz/<target>.crash-*.
# The lab-* seeds are answers of miniupnpd 2.3.1 captured in the lab (tests/lab/lab.sh):
# its SSDP reply, description, heads, GetExternalIPAddress, entries (one with the bytes
# it hands back from past its description buffer, one Latin-1, one with a control
# character) and a 713 fault.
#
# The NAT-PMP/PCP targets' seeds are answers of real gateways where one was published
# (corpus/README.md names each source), else written by hand and named made-*.
#
# FUZZ_NEWEST_SECONDS, where set, is the time of each of the seven newest targets instead
# (the suite gives them less, to stay within its time).
#
#   tests/fuzz/run.sh BUILD [SECONDS [TARGET...]]    BUILD configured with -DPORTWRANGLER_FUZZ=ON
#                                                    (the TARGETs alone where named)
set -euo pipefail
build=${1:?usage: run.sh BUILD [SECONDS [TARGET...]]}
seconds=${2:-5}
newest_seconds=${FUZZ_NEWEST_SECONDS:-$seconds}
here=$(cd "$(dirname "$0")" && pwd)
out="$build/tests/fuzz"
targets=(grammar url_split ssdp_location http_head description external_address
         mapping_entry device_info portmap_exchange portmap_announce hold_file long_options
         firewall_answer any_port json_out)
if (($# > 2)); then targets=("${@:3}"); fi

one() {
  local target=$1 scratch="$out/scratch/$1" dict=() time=$seconds
  mkdir -p "$scratch"
  case $target in
    portmap_exchange|portmap_announce|hold_file|long_options|firewall_answer|any_port|json_out)
      time=$newest_seconds ;;
  esac
  case $target in
    description|external_address|mapping_entry|device_info|firewall_answer|any_port|json_out)
      dict=(-dict="$here/xml.dict") ;;
    grammar) dict=(-dict="$here/grammar.dict") ;;
    hold_file|long_options) dict=(-dict="$here/hold.dict") ;;
    portmap_exchange|portmap_announce) dict=(-dict="$here/portmap.dict") ;;
  esac
  if "$out/${target}_fuzz" -max_total_time="$time" -timeout=5 -rss_limit_mb=2048 \
       -max_len=70000 -print_final_stats=1 -artifact_prefix="$out/$target." "${dict[@]}" \
       "$scratch" "$here/corpus/$target" >"$out/$target.log" 2>&1; then
    echo "fuzz $target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$target.log" \
      | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz $target: FAILED (see $out/$target.log)"; tail -40 "$out/$target.log"; return 1
  fi
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  one "${targets[i]}" & first=$!
  second=""
  if ((i + 1 < ${#targets[@]})); then one "${targets[i + 1]}" & second=$!; fi
  wait "$first" || failed=1
  if [ -n "$second" ]; then wait "$second" || failed=1; fi
done
exit $failed
