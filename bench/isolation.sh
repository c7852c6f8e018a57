#!/usr/bin/env bash
# A slow subscriber beside a rule that keeps up, on loopback:
#
#   bench/isolation.sh [--build-dir DIR] [--rounds N]
#
# Runs the slow-but-live case of the fault tests alone (nothing else on the
# cores): rule A's subscriber takes at half its publisher's 4 kHz, rule B
# reads the same source domain at ddsperf's full rate, once into a third
# domain and once into A's. Prints, per round and layout, B's rate during
# A's hold as a share of its rate before (target: 0.9 or more) and what A's
# subscriber took. The test's own bound is looser, since the suite shares
# the cores. Uses the test's domain ids (192, 196-199).

set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
rounds=3
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--rounds N]" >&2; exit 2 ;;
  esac
  shift
done
export CYCLONEDDS_URI=file://$root/tests/cyclonedds-loopback.xml
test=$build/tests/fault/fault_slow_consumer_test
[ -x "$test" ] || { echo "no $test: build with -DBUILD_TESTING=ON" >&2; exit 1; }
for round in $(seq 1 "$rounds"); do
  timeout 300 "$test" --gtest_filter='*HalfRateSubscriberLosesNothing' |
    sed -nE 's/.*other rule ([0-9]+) samples\/s before, ([0-9]+) samples\/s during.*subscriber took ([0-9]+).*/\1 \2 \3/p' |
    awk -v round="$round" '{ printf "round %s layout %d: B %.2f of its rate (%d/s before, %d/s during), A took %d\n",
                             round, NR, $2 / $1, $1, $2, $3 }'
done
