#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time over its
# corpus and regression inputs; fails when any target finds a crash, a leak,
# undefined behaviour or a broken invariant.
#
#   fuzz/run.sh [--build-dir DIR] [--merge] [SECONDS]
#
# SECONDS per target (default 60). New inputs go to DIR/fuzz-scratch, not to
# the repository; --merge then adds those that reach new code to
# fuzz/corpus/<target>/. A failing input is left in DIR/fuzz-artifacts; keep
# it as fuzz/regressions/<target>/<name> once the fault is fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
merge=0
seconds=60
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) seconds=$1; shift ;;
  esac
done
case $seconds in ''|*[!0-9]*) echo "run.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac

targets=(xgetopt rule_file ros_type_name)
declare -A max_len=([xgetopt]=512 [rule_file]=4096 [ros_type_name]=512)

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j"${CORVANE_JOBS:-2}" --target "${targets[@]/%/_fuzzer}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  scratch=$build/fuzz-scratch/$t
  artifacts=$build/fuzz-artifacts/$t
  rm -rf "$artifacts"
  mkdir -p "$scratch" "$artifacts" "$build/fuzz-tmp"
  inputs=()
  for dir in "$root/fuzz/corpus/$t" "$root/fuzz/regressions/$t"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  echo "== $t: ${seconds}s"
  # stderr of the code under test (parser and loader messages) is dropped;
  # libFuzzer and the sanitizers still report on the original stderr.
  if ! TMPDIR=$build/fuzz-tmp timeout -k 10 $((seconds + 120)) "$build/${t}_fuzzer" \
      -max_total_time="$seconds" -timeout=10 -max_len="${max_len[$t]}" -close_fd_mask=2 \
      -dict="$root/fuzz/$t.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
      "$scratch" "${inputs[@]}" 2>"$build/fuzz-$t.log"; then
    failed+=("$t")
    grep -v -E '^#[0-9]+' "$build/fuzz-$t.log" | tail -n 60 >&2
    for input in "$artifacts"/*; do
      [ -f "$input" ] || continue
      echo "-- replay of $input (with the messages of the code under test):" >&2
      TMPDIR=$build/fuzz-tmp timeout 30 "$build/${t}_fuzzer" "$input" 2>&1 | tail -n 40 >&2 || true
    done
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' \
    "$build/fuzz-$t.log" | tr '\n' ' '
  echo
  if [ "$merge" = 1 ]; then
    TMPDIR=$build/fuzz-tmp "$build/${t}_fuzzer" -merge=1 -close_fd_mask=2 \
      -max_len="${max_len[$t]}" "$root/fuzz/corpus/$t" "$scratch" 2>>"$build/fuzz-$t.log"
    echo "   corpus now $(ls "$root/fuzz/corpus/$t" | wc -l) inputs"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $build/fuzz-artifacts)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
