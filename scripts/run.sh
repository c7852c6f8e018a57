#!/usr/bin/env bash
# Sets up, builds and runs corvane on the example rule file (Ctrl+C stops it).
# Without CYCLONEDDS_URI (and FASTRTPS_DEFAULT_PROFILES_FILE, for ROS 2
# services and actions), DDS stays on the loopback interface.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Every option the build relies on is passed on each run, so a build tree the
# test command configured before gives the same result.
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=OFF -DCORVANE_SANITIZE=
export CYCLONEDDS_URI=${CYCLONEDDS_URI:-file://$root/examples/cyclonedds-loopback.xml}
export FASTRTPS_DEFAULT_PROFILES_FILE=${FASTRTPS_DEFAULT_PROFILES_FILE:-$root/examples/fastdds-loopback.xml}
exec "$root/build/app/corvane" -c "$root/examples/bridge.yaml"
