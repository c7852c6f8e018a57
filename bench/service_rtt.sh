#!/usr/bin/env bash
# ROS 2 service figures of corvane, on loopback:
#
#   bench/service_rtt.sh [--build-dir DIR] [--calls N]
#
#   rtt       round trip of one call at a time (N calls, default 500), median
#             and p99 in microseconds, direct (client and server in one
#             domain) and through a ros2-service rule, for clients and
#             servers that pair as ROS 2 on Fast DDS does (identities) and as
#             ROS 2 on Cyclone DDS does (header in the payload)
#   rss       corvane's VmRSS after start-up with one ros2-msg rule, and with
#             that rule plus one ros2-service rule
#   startup   launch to the "is running" banner with 100 ros2-service rules
#
# Uses domain ids 170-179; every process runs under `timeout` and is stopped
# by PID. Run it in a network namespace that has only loopback, as the tests.

set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
calls=500
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?}; shift ;;
    --calls) calls=${2:?}; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--calls N]" >&2; exit 2 ;;
  esac
  shift
done
export CYCLONEDDS_URI=file://$root/tests/cyclonedds-loopback.xml
export FASTRTPS_DEFAULT_PROFILES_FILE=$root/tests/interop/fastdds-loopback.xml
export SKIP_DEFAULT_XML_FILE=1
unset TAVRINDDS_LOG_LEVEL CORVANE_CONFIG
corvane=$build/app/corvane
fast_peer=$build/tests/interop/interop_fastdds_service_peer
add_dir=$build/tests/peers
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-service.XXXXXX")
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT

rule() { # type topic data_type src dst
  printf '  - type: %s\n    topic: %s\n    data_type: %s\n' "$1" "$2" "$3"
  printf '    proxy_service:\n      domain_id: %s\n      reliability: reliable\n' "$4"
  printf '    service:\n      domain_id: %s\n      reliability: reliable\n' "$5"
}

# Starts corvane on rule file $1; waits for its banner; sets cv_pid, cv_ms.
start_corvane() {
  local log=$work/corvane.log start
  : >"$log"
  start=$(date +%s%N)
  timeout 300 "$corvane" -c "$1" 2>"$log" >/dev/null &
  cv_pid=$!
  pids+=("$cv_pid")
  for _ in $(seq 600); do
    if grep -q "is running" "$log"; then
      cv_ms=$((($(date +%s%N) - start) / 1000000))
      return 0
    fi
    sleep 0.05
  done
  echo "corvane did not start: $(tail -n 2 "$log")" >&2
  return 1
}
stop_corvane() { kill "$cv_pid" 2>/dev/null; wait "$cv_pid" 2>/dev/null; }

# Median and p99 of the "us=" fields in file $1.
percentiles() {
  sed -n 's/^rtt .*us=\([0-9]*\)$/\1/p' "$1" | sort -n | awk '
    { v[NR] = $1 }
    END { if (NR == 0) { print "n/a n/a 0"; exit }
          m = v[int((NR + 1) / 2)]; p = v[int(NR * 0.99 + 0.999)]; print m, p, NR }'
}

fast_pair() { # client_domain server_domain label
  timeout 120 "$fast_peer" server --domain "$2" --service /echo --type bench/srv/Echo \
    --count "$calls" --timeout 100 >"$work/server.out" 2>/dev/null &
  local server=$!
  pids+=("$server")
  timeout 120 "$fast_peer" client --domain "$1" --service /echo --type bench/srv/Echo \
    --count "$calls" --window 1 --settle-ms 1500 --timeout 100 >"$work/client.out" 2>/dev/null
  wait "$server"
  echo "$3 fast-dds-style $(percentiles "$work/client.out")"
}

cyclone_pair() { # client_domain server_domain label
  timeout 120 "$add_dir/ros2_add_server" --domain "$2" --count "$calls" --timeout 100 \
    >"$work/server.out" 2>/dev/null &
  local server=$!
  pids+=("$server")
  timeout 120 "$add_dir/ros2_add_client" --domain "$1" --count "$calls" --window 1 \
    --settle-ms 1500 --rtt --timeout 100 >"$work/client.out" 2>/dev/null
  wait "$server"
  echo "$3 cyclone-style $(percentiles "$work/client.out")"
}

echo "# path style median_us p99_us calls"
fast_pair 170 170 direct
cyclone_pair 171 171 direct
{ echo "rules:"
  rule ros2-service /echo bench/srv/Echo 172 173
  rule ros2-service /add_two_ints example_interfaces/srv/AddTwoInts 174 175; } >"$work/rtt.yaml"
start_corvane "$work/rtt.yaml" || exit 1
fast_pair 172 173 corvane
cyclone_pair 174 175 corvane
stop_corvane

# VmRSS of corvane, the child of the timeout process $1.
rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$(pgrep -P "$1")/status"; }
{ echo "rules:"
  printf '  - type: ros2-msg\n    topic: /chatter\n    data_type: std_msgs/msg/String\n'
  printf '    src:\n      domain_id: 176\n      reliability: reliable\n    dst:\n      domain_id: 177\n      reliability: reliable\n'; } >"$work/msg.yaml"
start_corvane "$work/msg.yaml" || exit 1
sleep 2
echo "rss_kib topic-rule-only $(rss_kib "$cv_pid")"
stop_corvane
{ cat "$work/msg.yaml"; rule ros2-service /echo bench/srv/Echo 176 177; } >"$work/svc.yaml"
start_corvane "$work/svc.yaml" || exit 1
sleep 2
echo "rss_kib topic-and-service-rule $(rss_kib "$cv_pid")"
stop_corvane

{ echo "rules:"
  for i in $(seq 100); do rule ros2-service "/svc$i" bench/srv/Echo 178 179; done; } >"$work/100.yaml"
start_corvane "$work/100.yaml" || exit 1
echo "startup_ms 100-service-rules $cv_ms rss_kib $(rss_kib "$cv_pid")"
stop_corvane
