#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite:
#   1. the normal build and every test (CI also runs the long fault loops),
#   2. every test again under AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the concurrency tests (label "threads") under ThreadSanitizer,
#   4. the relay, ROS 2, service and fault tests against Cyclone DDS built
#      with its assertions on (../shared/third_party), which abort a program
#      that breaks one of Cyclone's internal rules,
#   5. the fuzz targets, a bounded time each,
#   6. the benchmark smoke run and the Debian package test.
# CORVANE_TEST_STAGES selects stages (default "all"; e.g. "normal asan").
# CORVANE_FUZZ_SECONDS sets the fuzzing time per target (default 20).
# Every DDS process stays on the loopback interface.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stages=${CORVANE_TEST_STAGES:-all}
"$root/scripts/setup.sh"
export CYCLONEDDS_URI="file://$root/tests/cyclonedds-loopback.xml"
export FASTRTPS_DEFAULT_PROFILES_FILE="$root/tests/interop/fastdds-loopback.xml"
export SKIP_DEFAULT_XML_FILE=1
if [ "${CI:-}" = "true" ]; then
  export CORVANE_LONG_FAULT_TESTS=1
fi

# Each configure states every option the stage relies on: a build tree that
# the run command (or an earlier stage) configured otherwise gives the same
# result. A stage that finds no test fails.
build() { "$root/scripts/build.sh" "$1" -DBUILD_TESTING=ON -DCORVANE_SANITIZE="$2"; }
want() { [ "$stages" = all ] || [[ " $stages " == *" $1 "* ]]; }
stage() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

if want normal; then
  stage "normal build and tests"
  build "$root/build" ""
  (cd "$root/build" && ctest -j2 --no-tests=error --output-on-failure --timeout 600)
fi

if want asan; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer"
  build "$root/build-asan" address
  # valgrind cannot run a sanitized binary; the long fault loops ran in the
  # normal pass already.
  (cd "$root/build-asan" &&
    env -u CORVANE_LONG_FAULT_TESTS \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest -j2 -LE valgrind --no-tests=error --output-on-failure --timeout 600)
fi

if want tsan; then
  stage "ThreadSanitizer"
  build "$root/build-tsan" thread
  # libddsc is not instrumented: its own libc calls (memcpy, free) are left
  # out, our code's are checked (see tests/tsan.supp).
  (cd "$root/build-tsan" &&
    TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 ignore_noninstrumented_modules=1" \
    ctest -j2 -L threads --no-tests=error --output-on-failure --timeout 600)
fi

if want cyclone-assert; then
  stage "Cyclone DDS with assertions"
  tarball=$root/../shared/third_party/cyclonedds-0.10.2.tar.xz
  if [ ! -f "$tarball" ]; then
    echo "no $tarball: stage skipped"
  else
    (cd "$(dirname "$tarball")" && sha256sum -c --quiet "$(basename "$tarball").sha256")
    cyclone=$root/build-cyclone-assert
    rm -rf "$cyclone/src" && mkdir -p "$cyclone/src"
    tar xf "$tarball" -C "$cyclone/src" --strip-components=1
    # Debian's feature set, so that the structures keep their layout.
    cmake -S "$cyclone/src" -B "$cyclone/build" -DCMAKE_BUILD_TYPE=Debug -DENABLE_SHM=ON \
      -DENABLE_SECURITY=ON -DENABLE_SSL=ON -DENABLE_TYPE_DISCOVERY=ON -DENABLE_TOPIC_DISCOVERY=ON \
      -DBUILD_IDLC=OFF -DBUILD_DDSPERF=OFF -DBUILD_TESTING=OFF -DBUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$cyclone/build" -j"${CORVANE_JOBS:-2}" >/dev/null
    lib=$cyclone/build/lib
    ln -sf libddsc.so.0.10.2 "$lib/libddsc.so.0debian"  # Debian's soname
    build "$root/build" ""
    # ldd's whole list is read first: grep -q would stop reading at the
    # match and the pipe's failure (SIGPIPE) would fail the check.
    for binary in "$root/build/app/corvane" "$root/build/tests/middleware/middleware_dds_test"; do
      deps=$(LD_LIBRARY_PATH=$lib ldd "$binary") && grep -q "$lib/libddsc" <<<"$deps" ||
        { echo "$binary does not load $lib/libddsc" >&2; exit 1; }
    done
    (cd "$root/build" &&
      env -u CORVANE_LONG_FAULT_TESTS LD_LIBRARY_PATH="$lib" \
      ctest -j2 -LE valgrind --no-tests=error --output-on-failure --timeout 600 \
        -R 'RawDataPath|ListenerTest|EntityTest|DomainConfig|TopicKind|Channel|DdsManager|Threads|RelayTest|Relayed|Ros|Service|Servers|Fault')
  fi
fi

if want fuzz; then
  stage "fuzzing"
  "$root/fuzz/run.sh" --build-dir "$root/build-fuzz" "${CORVANE_FUZZ_SECONDS:-20}"
fi

if want bench; then
  stage "benchmark smoke run"
  "$root/bench/run.sh" --smoke --build --build-dir "$root/build" --out "$root/build/bench-smoke"
fi

if want package; then
  stage "Debian package"
  "$root/scripts/package-test.sh" "$root/build"
fi
stage "done"
