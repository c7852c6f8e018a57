#!/usr/bin/env bash
# Configures and builds corvane in build/ (or the directory given as $1).
# Extra arguments go to cmake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" "$@" >/dev/null
cmake --build "$build" -j"${CORVANE_JOBS:-2}"
