#!/usr/bin/env bash
# Runs corvane under valgrind memcheck through a whole cycle: start-up on
# rules of every kind, a few seconds of ddsperf streaming through the relay,
# and a stop with SIGTERM. Fails on any invalid access, use of uninitialised
# memory or definite leak. Should a Cyclone DDS or yaml-cpp internal ever need
# hiding, its suppression goes into tests/valgrind.supp (never one of ours).
#
#   scripts/valgrind-check.sh [corvane binary]    (default: build/app/corvane)
#
# Environment: CORVANE_VALGRIND_DOMAINS, the two domain ids to use
# (default "140 141"); CORVANE_VALGRIND_SECONDS, how long to relay
# (default 5). DDS stays on loopback unless CYCLONEDDS_URI says otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/app/corvane}
read -r src dst <<<"${CORVANE_VALGRIND_DOMAINS:-140 141}"
relay_seconds=${CORVANE_VALGRIND_SECONDS:-5}
export CYCLONEDDS_URI=${CYCLONEDDS_URI:-file://$root/tests/cyclonedds-loopback.xml}
export FASTRTPS_DEFAULT_PROFILES_FILE=${FASTRTPS_DEFAULT_PROFILES_FILE:-$root/tests/interop/fastdds-loopback.xml}
unset CORVANE_CONFIG TAVRINDDS_LOG_LEVEL

fail() { echo "valgrind-check: $*" >&2; exit 1; }
[ -x "$binary" ] || fail "no corvane binary at $binary"
command -v valgrind >/dev/null || fail "valgrind is not installed"
command -v ddsperf >/dev/null || fail "ddsperf is not installed (cyclonedds-tools)"

work=$(mktemp -d)
pids=()
# Each child runs under timeout, which hands a SIGTERM on to its command.
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 1 50); do
    running=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
    [ "$running" -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/rules.yaml" <<YAML
rules:
  - type: dds
    topic: DDSPerfRDataKS
    data_type: KeyedSeq
    src: {domain_id: $src, reliability: reliable}
    dst: {domain_id: $dst, reliability: reliable}
  - type: dds
    topic: DDSPerfRDataOU
    data_type: OneULong
    src: {domain_id: $dst, reliability: best_effort}
    dst: {domain_id: $src, reliability: reliable}
  - type: ros2-msg
    topic: /chatter
    data_type: std_msgs/msg/String
    src: {domain_id: $src, reliability: reliable}
    dst: {domain_id: $dst, reliability: best_effort}
  - type: ros2-service
    topic: /add_two_ints
    data_type: example_interfaces/srv/AddTwoInts
    proxy_service: {domain_id: $dst, reliability: reliable}
    service: {domain_id: $src, reliability: reliable}
  - type: ros2-action
    topic: /fibonacci
    data_type: example_interfaces/action/Fibonacci
    proxy_service: {domain_id: $dst, reliability: reliable}
    service: {domain_id: $src, reliability: reliable}
YAML

# Exit status of valgrind when it found an error, told apart from corvane's.
error_status=99
suppressions=()
[ -f "$root/tests/valgrind.supp" ] && suppressions=(--suppressions="$root/tests/valgrind.supp")
timeout -s KILL 600 valgrind --tool=memcheck --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite \
  --error-exitcode=$error_status --num-callers=30 \
  "${suppressions[@]}" --gen-suppressions=all \
  --log-file="$work/memcheck.log" \
  "$binary" -c "$work/rules.yaml" >"$work/corvane.out" 2>"$work/corvane.err" &
relay=$!
pids+=("$relay")

for _ in $(seq 1 1200); do
  grep -q "Press Ctrl + c" "$work/corvane.err" && break
  kill -0 "$relay" 2>/dev/null || break
  sleep 0.1
done
grep -q "Press Ctrl + c" "$work/corvane.err" || {
  cat "$work/corvane.err" "$work/memcheck.log" >&2
  fail "corvane did not start under valgrind"
}

timeout -s KILL $((relay_seconds + 30)) ddsperf -i "$dst" -D $((relay_seconds + 10)) sub \
  >"$work/sub.out" 2>&1 &
pids+=("$!")
timeout -s KILL $((relay_seconds + 30)) ddsperf -i "$src" -D "$relay_seconds" pub size 1k \
  >"$work/pub.out" 2>&1 &
pids+=("$!")
sleep $((relay_seconds + 2))
received=$( (grep -o 'total [0-9]*' "$work/sub.out" || true) | tail -n 1 | cut -d' ' -f2)

kill -TERM "$relay"
status=0
wait "$relay" || status=$?
pids=("${pids[@]:1}")

summary=$(grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable' \
  "$work/memcheck.log" | sed 's/^==[0-9]*== *//')
echo "valgrind-check: corvane exit status $status; ddsperf sub received ${received:-0} samples"
echo "$summary"
if [ "$status" -ne 0 ] || ! grep -q 'ERROR SUMMARY: 0 errors' "$work/memcheck.log"; then
  cat "$work/memcheck.log" >&2
  echo "corvane's stderr:" >&2
  cat "$work/corvane.err" >&2
  fail "memcheck found errors, or corvane did not stop with status 0"
fi
[ "${received:-0}" -gt 0 ] || fail "nothing was relayed under valgrind"
echo "valgrind-check: passed"
