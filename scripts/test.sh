#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export CYCLONEDDS_URI="file://$root/tests/cyclonedds-loopback.xml"

"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest -j2 --output-on-failure --timeout 300)
