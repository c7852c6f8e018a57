#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks what it
# installed (executable, rule file, DDS settings, unit, manual page), starts
# and stops the installed corvane the way its unit does, and purges the
# package again. Run as root on Debian 12, on a machine without corvane.
#
# Usage: scripts/package-test.sh [build_dir]
# Without build_dir, a fresh build is made in a temporary directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
config_dir=/etc/zerudevav/ostrakit/bridge
unit=/usr/lib/systemd/system/corvane.service
manual=/usr/share/man/man1/corvane.1.gz
banner="TavrinDDS Corvane v2.1.0 is running, please wait..."
apt_options=(-y -o DPkg::Lock::Timeout=120)

fail() {
  echo "package-test: FAIL: $*" >&2
  exit 1
}
step() { echo "package-test: $*"; }

[ "$(id -u)" -eq 0 ] || fail "run as root (it installs the package)"
if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -qv 'not-installed'; then
  fail "corvane is already known to dpkg; purge it first (apt-get purge corvane)"
fi

work=$(mktemp -d /tmp/corvane-package-test.XXXXXX)
# apt reads the package as its own unprivileged user.
chmod 755 "$work"
installed=0
corvane_pid=

cleanup() {
  local status=$?
  if [ -n "$corvane_pid" ] && kill -0 "$corvane_pid" 2>/dev/null; then
    kill -KILL "$corvane_pid" 2>/dev/null || true
  fi
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive timeout 300 apt-get purge "${apt_options[@]}" corvane \
      >"$work/purge.log" 2>&1 || echo "package-test: purge failed, see $work/purge.log" >&2
  fi
  [ "$status" -eq 0 ] && rm -rf "$work"
  [ "$status" -eq 0 ] || echo "package-test: logs kept in $work" >&2
}
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM

# --- build -----------------------------------------------------------------
if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd)
else
  build=$work/build
  step "configuring a fresh build in $build"
  timeout 300 cmake -S "$root" -B "$build" -DBUILD_TESTING=OFF >"$work/configure.log" 2>&1 ||
    fail "configure failed, see $work/configure.log"
fi
step "building in $build"
timeout 3000 cmake --build "$build" -j"${CORVANE_JOBS:-2}" >"$work/build.log" 2>&1 ||
  fail "build failed, see $work/build.log"
step "packaging"
(cd "$build" && timeout 600 cpack -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1 ||
  fail "cpack failed, see $work/cpack.log"
debs=("$work"/pkg/corvane_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  fail "expected one corvane_*.deb in $work/pkg"
fi
deb=${debs[0]}
chmod 644 "$deb"

depends=$(dpkg-deb -f "$deb" Depends)
step "Depends: $depends"
for lib in libddsc0debian libfastrtps2.9 libyaml-cpp0.7 libstdc++6 libc6; do
  [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
    fail "Depends lacks $lib"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles"
for f in bridge.yaml cyclonedds.xml fastdds.xml; do
  grep -qx "$config_dir/$f" "$work/conffiles" || fail "$config_dir/$f is not a conffile"
done

# --- install ---------------------------------------------------------------
step "installing $(basename "$deb")"
installed=1
DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install "${apt_options[@]}" "$deb" \
  >"$work/install.log" 2>&1 || fail "apt-get install failed, see $work/install.log"
dpkg-query -W -f='${Status}' corvane | grep -q 'install ok installed' ||
  fail "corvane is not installed after apt-get install"

[ "$(command -v corvane)" = /usr/bin/corvane ] || fail "corvane is not /usr/bin/corvane"
for f in "$config_dir/bridge.yaml" "$config_dir/cyclonedds.xml" "$config_dir/fastdds.xml" "$unit" \
  "$manual"; do
  [ -f "$f" ] || fail "$f was not installed"
done

step "corvane -h"
status=0
timeout 10 corvane -h >"$work/usage.txt" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "corvane -h exited with $status"
grep -qx "      3. Default path: $config_dir/bridge.yaml" "$work/usage.txt" ||
  fail "usage text lacks the default path"

# --- the unit --------------------------------------------------------------
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
dds_uri=$(sed -n 's/^Environment=CYCLONEDDS_URI=//p' "$unit")
fastdds_profile=$(sed -n 's/^Environment=FASTRTPS_DEFAULT_PROFILES_FILE=//p' "$unit")
[ "$exec_start" = "/usr/bin/corvane -c $config_dir/bridge.yaml" ] ||
  fail "unexpected ExecStart: $exec_start"
[ "$dds_uri" = "file://$config_dir/cyclonedds.xml" ] || fail "unexpected CYCLONEDDS_URI: $dds_uri"
if ! grep -q '<NetworkInterface name="lo"/>' "$config_dir/cyclonedds.xml" ||
  ! grep -q '<AllowMulticast>false</AllowMulticast>' "$config_dir/cyclonedds.xml"; then
  fail "the shipped Cyclone DDS settings do not keep DDS on loopback"
fi
[ "$fastdds_profile" = "$config_dir/fastdds.xml" ] ||
  fail "unexpected FASTRTPS_DEFAULT_PROFILES_FILE: $fastdds_profile"
if ! grep -q '<useBuiltinTransports>false</useBuiltinTransports>' "$fastdds_profile" ||
  ! grep -q '<address>127.0.0.1</address>' "$fastdds_profile"; then
  fail "the shipped Fast DDS settings do not keep DDS on loopback"
fi
for line in Type=simple KillSignal=SIGTERM Restart=on-failure NoNewPrivileges=yes \
  ProtectSystem=strict PrivateTmp=yes ProtectHome=yes DynamicUser=yes; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  # Without a running systemd the targets it refers to may be missing; any
  # other complaint is a fault of the unit.
  timeout 60 systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || true
  if grep -qv -e '^$' -e 'sysinit.target not found' -e 'Failed to create .*/start' \
    "$work/verify.log"; then
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify complains about the unit"
  fi
fi

# Runs the installed corvane with the given arguments in directory $1 until
# the banner shows, then stops it with SIGTERM and expects status 0. Both
# waits are bounded; the background job is corvane itself, so a KILL reaches it.
run_until_banner() {
  local dir=$1 log=$2
  shift 2
  (cd "$dir" && exec env -i PATH=/usr/bin:/bin CYCLONEDDS_URI="$dds_uri" \
    FASTRTPS_DEFAULT_PROFILES_FILE="$fastdds_profile" "$@" >"$log" 2>&1) &
  corvane_pid=$!
  local ticks=0
  until grep -qF "$banner" "$log"; do
    kill -0 "$corvane_pid" 2>/dev/null || { cat "$log" >&2; fail "corvane ended before its banner"; }
    [ "$ticks" -lt 300 ] || { cat "$log" >&2; fail "no banner within 30 s"; }
    sleep 0.1
    ticks=$((ticks + 1))
  done
  kill -TERM "$corvane_pid"
  ticks=0
  while kill -0 "$corvane_pid" 2>/dev/null && ps -o stat= -p "$corvane_pid" | grep -qv Z; do
    [ "$ticks" -lt 150 ] || { cat "$log" >&2; fail "corvane still runs 15 s after SIGTERM"; }
    sleep 0.1
    ticks=$((ticks + 1))
  done
  local status=0
  wait "$corvane_pid" || status=$?
  corvane_pid=
  [ "$status" -eq 0 ] || { cat "$log" >&2; fail "corvane exited with $status after SIGTERM"; }
}

step "running the unit's command line, stopping it with SIGTERM"
# shellcheck disable=SC2086  # ExecStart holds no quoted words
run_until_banner / "$work/service.log" $exec_start
grep -q "Bridge configures are referenced by user path" "$work/service.log" ||
  fail "the unit's command line did not use its -c path"

step "running corvane without options: the rule file at the default path"
mkdir "$work/empty"
run_until_banner "$work/empty" "$work/default.log" corvane
if grep -q "referenced by user path" "$work/default.log"; then
  fail "corvane without -c claims a user path"
fi

# --- manual page -----------------------------------------------------------
step "rendering the manual page"
zcat "$manual" | groff -man -ww -Tutf8 >/dev/null 2>"$work/groff.log" ||
  fail "groff cannot render the manual page"
[ ! -s "$work/groff.log" ] || { cat "$work/groff.log" >&2; fail "groff warns about the manual page"; }
if command -v man >/dev/null; then
  MANWIDTH=80 timeout 60 man --warnings -l "$manual" >/dev/null 2>"$work/man.log"
  [ ! -s "$work/man.log" ] || { cat "$work/man.log" >&2; fail "man warns about the manual page"; }
  [ "$(timeout 60 man -w corvane 2>/dev/null || true)" = "$manual" ] || fail "man corvane does not find the page"
fi

# --- remove ----------------------------------------------------------------
step "purging the package"
DEBIAN_FRONTEND=noninteractive timeout 300 apt-get purge "${apt_options[@]}" corvane \
  >"$work/purge.log" 2>&1 || fail "apt-get purge failed, see $work/purge.log"
installed=0
for f in /usr/bin/corvane "$config_dir" "$unit" "$manual"; do
  [ ! -e "$f" ] || fail "$f is left after the purge"
done
step "PASS"
