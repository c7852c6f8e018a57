#!/usr/bin/env bash
# Pattern rule figures of corvane, on loopback:
#
#   bench/pattern.sh [--build-dir DIR] [--topics N]
#
#   startup_ms     launch to the "is running" banner, one pattern rule
#   first_ms       N topics (default 1,000) appear at once: their creation to
#                  the first sample relayed, and all_ms to the last
#   late_ms        then one more topic appears alone: its creation to its
#                  first relayed sample (discovery, the 250 ms poll, the
#                  match, the write)
#   rss_kib        corvane's VmRSS before the topics, with them bridged, and
#                  per bridged topic
#
# Uses domain ids 228 and 229 (bench/pattern_load). Every process runs under
# `timeout` and is stopped by PID. Run it in a network namespace that has
# only loopback, as the tests.

set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
topics=1000
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?}; shift ;;
    --topics) topics=${2:?}; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--topics N]" >&2; exit 2 ;;
  esac
  shift
done
export CYCLONEDDS_URI=file://$root/tests/cyclonedds-loopback.xml
export FASTRTPS_DEFAULT_PROFILES_FILE=$root/tests/interop/fastdds-loopback.xml
export SKIP_DEFAULT_XML_FILE=1
unset TAVRINDDS_LOG_LEVEL CORVANE_CONFIG
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-pattern.XXXXXX")
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT

cat >"$work/rules.yaml" <<RULES
rules:
  - {type: ros2-msg, topic: "/bench/*", data_type: "*", src: {domain_id: 228, reliability: reliable}, dst: {domain_id: 229, reliability: reliable}}
  - {type: ros2-msg, topic: "/late/*", data_type: "*", src: {domain_id: 228, reliability: reliable}, dst: {domain_id: 229, reliability: reliable}}
RULES
rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$(pgrep -P "$1")/status"; }

start=$(date +%s%N)
timeout 300 "$build/app/corvane" -c "$work/rules.yaml" 2>"$work/corvane.log" >/dev/null &
cv_pid=$!
pids+=("$cv_pid")
for _ in $(seq 600); do grep -q "is running" "$work/corvane.log" && break; sleep 0.05; done
grep -q "is running" "$work/corvane.log" || { echo "corvane did not start" >&2; exit 1; }
echo "startup_ms $((($(date +%s%N) - start) / 1000000))"
sleep 1
rss_before=$(rss_kib "$cv_pid")

timeout 200 "$build/bench/pattern_load/pattern_load" --src 228 --dst 229 --topics "$topics" \
  --timeout 150 --linger 5 >"$work/load.out" 2>&1 &
load_pid=$!
pids+=("$load_pid")
for _ in $(seq 3000); do grep -q steady "$work/load.out" && break; sleep 0.05; done
grep -q steady "$work/load.out" || { echo "pattern_load: $(cat "$work/load.out")" >&2; exit 1; }
sleep 2
rss_after=$(rss_kib "$cv_pid")
wait "$load_pid"; load_status=$?
sed -n 's/^topics=\([0-9]*\) first_ms=\([0-9-]*\) all_ms=\([0-9]*\) late_ms=\([0-9-]*\)$/topics \1\nfirst_ms \2\nall_ms \3\nlate_ms \4/p' "$work/load.out"
echo "bridged $(grep -c ': bridging ' "$work/corvane.log")"
echo "rss_kib before $rss_before after $rss_after per_topic $(((rss_after - rss_before) / topics))"
kill -INT "$cv_pid"
wait "$cv_pid"; cv_status=$?
echo "status pattern_load $load_status corvane $cv_status"
[ "$load_status" = 0 ] && [ "$cv_status" = 0 ]
