#!/usr/bin/env bash
# corvane benchmark suite: the relay against the direct DDS path, on loopback.
#
#   bench/run.sh [--build] [--smoke] [options]      (full run: about 12 minutes)
#
#   --build           build corvane and the bench tools first (cmake --build -j2)
#   --smoke           every measurement once for about a second, about 25 s in
#                     all, no targets; fails when any path, the relayed ones
#                     included, carries nothing
#   --build-dir DIR   build tree holding the binaries (default <repo>/build)
#   --corvane PATH    corvane binary (default <build-dir>/app/corvane)
#   --reps N          repetitions of each throughput and latency point (default 3)
#   --seconds S       length of one throughput or latency run (default 10)
#   --sizes "LIST"    ddsperf sample sizes (default "64 1k 16k 64k")
#   --only LIST       comma-separated subset of throughput,latency,scale
#   --out DIR         where results go (default <repo>/bench/out)
#
# Measures
#   throughput  ddsperf pub in domain A, ddsperf sub in domain B: direct (A = B)
#               and through corvane (A -> B), back to back, reliable and best
#               effort; the subscriber's rate and lost samples, corvane's CPU
#               and peak RSS, and relayed/direct with its spread.
#   latency     bench/latency_probe at 1 kHz, 64 B, direct and through corvane:
#               one-way median and percentiles.
#   scale       corvane's start-up time (launch to its "is running" banner) and
#               RSS with 1, 100 and 1,000 rules; the time to load a 10,000-rule
#               file (bench/rule_load, when built).
# Writes <out>/report.md, <out>/*.csv and <out>/throughput.png (gnuplot).
#
# Every DDS process stays on loopback (tests/cyclonedds-loopback.xml), uses
# domain ids 110-139 and runs under `timeout`; on exit the script stops the
# processes it started, by PID. A corvane that is missing or does not start
# is reported as n/a. Exit status: 0 when the suite ran, 1 when a path that
# must work carried nothing (smoke: any path; full run: a direct path), 2 on
# bad usage.

set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build
corvane=
smoke=0
do_build=0
reps=3
seconds=10
sizes="64 1k 16k 64k"
only=throughput,latency,scale
out=$root/bench/out

usage() { sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case $1 in
    --smoke) smoke=1 ;;
    --build) do_build=1 ;;
    --build-dir) build_dir=${2:?}; shift ;;
    --corvane) corvane=${2:?}; shift ;;
    --reps) reps=${2:?}; shift ;;
    --seconds) seconds=${2:?}; shift ;;
    --sizes) sizes=${2:?}; shift ;;
    --only) only=${2:?}; shift ;;
    --out) out=${2:?}; shift ;;
    -h | --help) usage ;;
    *) echo "run.sh: unknown option $1" >&2; usage ;;
  esac
  shift
done
[[ $reps =~ ^[1-9][0-9]*$ && $seconds =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --reps and --seconds take positive integers" >&2; exit 2; }
build_dir=$(cd "$build_dir" 2>/dev/null && pwd || echo "$build_dir")
corvane=${corvane:-$build_dir/app/corvane}
probe=$build_dir/bench/latency_probe/latency_probe
rule_load=$build_dir/bench/rule_load/rule_load

if [ $smoke = 1 ]; then
  reps=1
  seconds=1
  sizes="1k 64k"
  scale_reps=1
  # Ids apart from the full run's, so a smoke run can overlap with one.
  dom_base=125
else
  scale_reps=$reps
  dom_base=110
fi
dom_tp_direct=$dom_base
dom_tp_src=$((dom_base + 1))
dom_tp_dst=$((dom_base + 2))
dom_lat_direct=$((dom_base + 3))
dom_lat_src=$((dom_base + 4))
dom_lat_dst=$((dom_base + 5))
dom_scale=($((dom_base + 6)) $((dom_base + 7)) $((dom_base + 8)) $((dom_base + 9)))

export CYCLONEDDS_URI=file://$root/tests/cyclonedds-loopback.xml
export FASTRTPS_DEFAULT_PROFILES_FILE=$root/tests/interop/fastdds-loopback.xml
export SKIP_DEFAULT_XML_FILE=1
export LC_ALL=C

wants() { [[ ",$only," == *",$1,"* ]]; }
log() { printf '[bench %s] %s\n' "$(date +%T)" "$*" >&2; }
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# ---------------------------------------------------------------------------
# Processes: each one runs under `timeout`; `started` holds the PIDs of those
# timeouts, which forward SIGTERM to their child.

started=()
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-bench.XXXXXX")

child_of() { # PID of the child of timeout process $1 other than PID $2, if any
  local c
  for c in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
    [ "$c" = "${2:-}" ] || { echo "$c"; return; }
  done
}

# Waits for a started process and forgets it, so that a recycled PID is never
# signalled; returns its exit status.
reap() {
  local pid=$1 rc keep=() p
  wait "$pid"; rc=$?
  for p in "${started[@]}"; do [ "$p" = "$pid" ] || keep+=("$p"); done
  started=("${keep[@]}")
  return $rc
}

# SIGTERM to a timeout process (which forwards it to its child), SIGKILL to
# both after `grace` seconds; returns the exit status.
stop_pid() {
  local pid=$1 grace=${2:-3} child i
  child=$(child_of "$pid" "$(cat "$work/$pid.watcher" 2>/dev/null)")
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < grace * 20; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    [ -n "$child" ] && kill -KILL "$child" 2>/dev/null
    kill -KILL "$pid" 2>/dev/null
  fi
  reap "$pid"
}

# Runs a command under timeout in the background and waits for it, so that a
# signal to this script is handled at once rather than after the command.
run_bounded() { # limit_seconds command...
  local limit=$1
  shift
  timeout -k 3 "$limit" "$@" &
  local pid=$!
  started+=("$pid")
  reap "$pid"
}

# shellcheck disable=SC2317  # Invoked by the EXIT trap.
cleanup() {
  local pid
  for pid in "${started[@]}"; do stop_pid "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------
# corvane under test. corvane_start sets cv_pid (the timeout), cv_child (corvane
# itself) and cv_startup_us; it fails when the binary is missing or no banner
# appears within the limit.

cv_pid=
cv_child=
cv_startup_us=
cv_note=

# stdin: corvane's stderr. Stamps the banner's arrival time. It runs in a
# process substitution forked before `timeout` replaces its shell, so it is
# a child of that timeout too; its PID file tells it apart from corvane.
banner_watch() {
  local log=$1 stamp=$2 line
  echo "$BASHPID" >"$stamp.watcher"
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    if [[ ! -e $stamp && $line == *"is running"* ]]; then now_us >"$stamp"; fi
  done
}

corvane_start() { # rules_file run_limit_seconds name
  local rules=$1 limit=$2 name=$3 t0 deadline
  cv_pid='' cv_child='' cv_startup_us='' cv_note=''
  if [ ! -x "$corvane" ]; then cv_note="no corvane binary at $corvane"; return 1; fi
  local errlog=$work/$name.corvane.log stamp=$work/$name.banner
  rm -f "$stamp" "$stamp.watcher" "$errlog"
  t0=$(now_us)
  # timeout forwards the stop signal and kills after -k: leave the teardown
  # the whole grace that corvane_stop gives it (a thousand rules take seconds).
  timeout -k 15 "$limit" "$corvane" -c "$rules" 2> >(banner_watch "$errlog" "$stamp") >/dev/null &
  cv_pid=$!
  started+=("$cv_pid")
  ln -sf "$stamp.watcher" "$work/$cv_pid.watcher"
  deadline=$((t0 + 30000000))
  while [ ! -e "$stamp" ]; do
    if ! kill -0 "$cv_pid" 2>/dev/null; then
      reap "$cv_pid"; cv_note="corvane exited with status $? before its banner: $(tail -n 1 "$errlog" 2>/dev/null | tr -d ',')"
      cv_pid=; return 1
    fi
    if [ "$(now_us)" -gt $deadline ]; then
      cv_note="no banner within 30 s"; stop_pid "$cv_pid"; cv_pid=; return 1
    fi
    sleep 0.005
  done
  cv_startup_us=$(($(cat "$stamp") - t0))
  cv_child=$(child_of "$cv_pid" "$(cat "$stamp.watcher")")
  return 0
}

corvane_cpu_ticks() { # utime + stime of corvane
  [ -n "$cv_child" ] && awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$cv_child/stat" 2>/dev/null || echo 0
}

corvane_status_kb() { # field of /proc/<corvane>/status in kB (VmHWM, VmRSS)
  [ -n "$cv_child" ] && awk -v f="$1:" '$1 == f { print $2 }' "/proc/$cv_child/status" 2>/dev/null || echo 0
}

corvane_stop() { # returns corvane's exit status (0 when it stopped cleanly on SIGTERM)
  [ -n "$cv_pid" ] || return 0
  local pid=$cv_pid
  cv_pid='' cv_child=''
  stop_pid "$pid" 10
}

write_rule() { # topic type src dst reliability
  printf '  - type: dds\n    topic: %s\n    data_type: %s\n' "$1" "$2"
  printf '    src:\n      domain_id: %s\n      reliability: %s\n' "$3" "$5"
  printf '    dst:\n      domain_id: %s\n      reliability: %s\n' "$4" "$5"
}

# ---------------------------------------------------------------------------
# Throughput

failures=()
fail() { failures+=("$*"); log "FAIL: $*"; }

# Sub's output: "[pid] T size S total N lost L delta D lost l rate ...". The
# first and last intervals with data are partial (start-up, end of the
# publisher), so the rate comes from those in between.
parse_ddsperf_sub() { # log -> "rate_sps total lost"
  awk '
    / total [0-9]+ lost [0-9]+ delta / {
      t = $2 + 0; got = 0
      for (i = 3; i < NF; i++) {
        if ($i == "total") total = $(i + 1); else if ($i == "delta") delta = $(i + 1)
        else if ($i == "lost" && !got) { lost = $(i + 1); got = 1 }
      }
      dt = t - prev; prev = t
      if (delta > 0) { n++; d[n] = delta; w[n] = dt }
    }
    END {
      if (n == 0) { print 0, 0, 0; exit }
      from = n >= 3 ? 2 : 1; to = n >= 3 ? n - 1 : n
      for (i = from; i <= to; i++) { s += d[i]; tw += w[i] }
      printf "%.0f %d %d\n", (tw > 0 ? s / tw : 0), total, lost
    }' "$1"
}

throughput_run() { # path reliability size rep
  local path=$1 rel=$2 size=$3 rep=$4 name="tp-$1-$2-$3-$4"
  local flag='' topic=DDSPerfRDataKS relword=reliable dpub dsub
  if [ "$rel" = best-effort ]; then flag=-u topic=DDSPerfUDataKS relword=best-effort; fi
  if [ "$path" = direct ]; then dpub=$dom_tp_direct dsub=$dom_tp_direct; else dpub=$dom_tp_src dsub=$dom_tp_dst; fi
  local cpu0=0 cpu1=0 hwm=0 status=ok
  if [ "$path" = relayed ]; then
    { echo "rules:"; write_rule "$topic" KeyedSeq "$dpub" "$dsub" "$relword"; } >"$work/$name.yaml"
    if ! corvane_start "$work/$name.yaml" $((seconds + 60)) "$name"; then
      echo "$path,$rel,$size,$rep,,,,,,,n/a: $cv_note" >>"$out/throughput.csv"
      [ $smoke = 1 ] && fail "throughput relayed $rel $size: $cv_note"
      return
    fi
  fi
  # The subscriber outlives the publisher by `settle`, which also separates
  # their starts, so that discovery and the relay's backlog stay outside the
  # publisher's run.
  local settle=1 sub_seconds
  [ $smoke = 1 ] && settle=0.3
  sub_seconds=$(awk -v s="$seconds" -v t="$settle" 'BEGIN { print s + 2 * t }')
  timeout -k 3 $((seconds + 20)) ddsperf $flag -D "$sub_seconds" -i "$dsub" sub >"$work/$name.sub" 2>&1 &
  local sub=$!
  started+=("$sub")
  sleep $settle
  cpu0=$(corvane_cpu_ticks)
  local t0 t1
  t0=$(now_us)
  run_bounded $((seconds + 20)) ddsperf $flag -D "$seconds" -i "$dpub" pub size "$size" >"$work/$name.pub" 2>&1
  t1=$(now_us)
  cpu1=$(corvane_cpu_ticks)
  reap "$sub"
  local rate total lost
  read -r rate total lost < <(parse_ddsperf_sub "$work/$name.sub")
  local cpu_s='' cpu_pct=''
  if [ "$path" = relayed ]; then
    hwm=$(corvane_status_kb VmHWM)
    cpu_s=$(awk -v a="$cpu0" -v b="$cpu1" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", (b - a) / hz }')
    cpu_pct=$(awk -v c="$cpu_s" -v w=$((t1 - t0)) 'BEGIN { printf "%.0f", 100 * c / (w / 1e6) }')
    corvane_stop || status="corvane exit status $?"
  else
    hwm=
  fi
  [ "$total" -gt 0 ] || status="no samples"
  echo "$path,$rel,$size,$rep,$rate,$total,$lost,$cpu_s,$cpu_pct,$hwm,$status" >>"$out/throughput.csv"
  log "throughput $path $rel $size #$rep: $rate S/s, lost $lost${cpu_pct:+, corvane CPU $cpu_pct %}${hwm:+, peak RSS $hwm kB} ($status)"
  if [ "$status" != ok ] && { [ "$path" = direct ] || [ $smoke = 1 ]; }; then fail "throughput $path $rel $size: $status"; fi
}

run_throughput() {
  echo "path,reliability,size,rep,rate_sps,total,lost,cpu_s,cpu_pct,peak_rss_kb,status" >"$out/throughput.csv"
  local size rel rep
  for size in $sizes; do
    for rel in reliable best-effort; do
      for rep in $(seq "$reps"); do
        throughput_run direct "$rel" "$size" "$rep"
        throughput_run relayed "$rel" "$size" "$rep"
      done
    done
  done
}

# ---------------------------------------------------------------------------
# Latency

latency_run() { # path rep
  local path=$1 rep=$2 name="lat-$1-$2" dpub dsub warmup=2
  [ $smoke = 1 ] && warmup=1
  if [ "$path" = direct ]; then dpub=$dom_lat_direct dsub=$dom_lat_direct; else dpub=$dom_lat_src dsub=$dom_lat_dst; fi
  local args=(--rate 1000 --size 64 --duration "$seconds" --warmup "$warmup" --topic corvane_latency
              --match-timeout $((smoke ? 5 : 10)))
  if [ "$path" = relayed ]; then
    { echo "rules:"; write_rule corvane_latency bench::LatencySample "$dpub" "$dsub" reliable; } >"$work/$name.yaml"
    if ! corvane_start "$work/$name.yaml" $((seconds + 60)) "$name"; then
      echo "$path,$rep,,,,,,,n/a: $cv_note" >>"$out/latency.csv"
      [ $smoke = 1 ] && fail "latency relayed: $cv_note"
      return
    fi
  fi
  local limit=$((seconds + warmup + 30))
  timeout -k 3 $limit "$probe" sub --domain "$dsub" "${args[@]}" >"$work/$name.sub" 2>&1 &
  local sub=$!
  started+=("$sub")
  sleep 0.3
  run_bounded $limit "$probe" pub --domain "$dpub" "${args[@]}" >"$work/$name.pub" 2>&1
  reap "$sub"
  local status=ok
  if [ "$path" = relayed ]; then corvane_stop || status="corvane exit status $?"; fi
  local line
  line=$(grep '^latency ' "$work/$name.sub" | tail -n 1)
  local fields
  fields=$(awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
                  printf "%s,%s,%s,%s,%s,%s", v["count"], v["lost"], v["median_us"], v["p90_us"], v["p99_us"], v["max_us"] }' <<<"${line:-latency}")
  if [[ $line == *"count=0 "* || -z $line ]]; then
    status="no samples$(grep -h '^latency_probe' "$work/$name.pub" "$work/$name.sub" | head -n 1 | sed 's/^/: /' | tr -d ',')"
  fi
  echo "$path,$rep,$fields,$status" >>"$out/latency.csv"
  log "latency $path #$rep: ${line:-nothing} ($status)"
  if [ "$status" != ok ] && { [ "$path" = direct ] || [ $smoke = 1 ]; }; then fail "latency $path: $status"; fi
}

run_latency() {
  echo "path,rep,count,lost,median_us,p90_us,p99_us,max_us,status" >"$out/latency.csv"
  if [ ! -x "$probe" ]; then
    echo "direct,1,,,,,,,n/a: no latency_probe at $probe" >>"$out/latency.csv"
    fail "latency: no latency_probe at $probe (build target latency_probe)"
    return
  fi
  local rep
  for rep in $(seq "$reps"); do
    latency_run direct "$rep"
    latency_run relayed "$rep"
  done
}

# ---------------------------------------------------------------------------
# Scale

write_scale_rules() { # count file
  local i n=${#dom_scale[@]}
  {
    echo "rules:"
    for ((i = 0; i < $1; i++)); do
      write_rule "$(printf 'bench_scale_%05d' "$i")" bench::ScaleSample \
        "${dom_scale[$((i % n))]}" "${dom_scale[$(((i + 1) % n))]}" reliable
    done
  } >"$2"
}

run_scale() {
  echo "rules,rep,startup_ms,rss_kb,peak_rss_kb,status" >"$out/scale.csv"
  local count rep
  for count in 1 100 1000; do
    write_scale_rules "$count" "$work/scale-$count.yaml"
    for rep in $(seq "$scale_reps"); do
      if ! corvane_start "$work/scale-$count.yaml" 120 "scale-$count-$rep"; then
        echo "$count,$rep,,,,n/a: $cv_note" >>"$out/scale.csv"
        log "scale $count rules: n/a ($cv_note)"
        [ $smoke = 1 ] && fail "scale $count rules: $cv_note"
        continue
      fi
      sleep 0.5 # Let discovery of its own endpoints settle before reading RSS.
      local rss hwm ms status=ok
      rss=$(corvane_status_kb VmRSS)
      hwm=$(corvane_status_kb VmHWM)
      ms=$(awk -v u="$cv_startup_us" 'BEGIN { printf "%.1f", u / 1000 }')
      corvane_stop || status="corvane exit status $?"
      echo "$count,$rep,$ms,$rss,$hwm,$status" >>"$out/scale.csv"
      log "scale $count rules #$rep: start-up $ms ms, RSS $rss kB, peak $hwm kB ($status)"
      [ $smoke = 1 ] && [ "$status" != ok ] && fail "scale $count rules: $status"
    done
  done

  echo "rules,load_ms,status" >"$out/rule_load.csv"
  if [ ! -x "$rule_load" ]; then
    echo "10000,,n/a: no rule_load binary at $rule_load" >>"$out/rule_load.csv"
    log "rule load: skipped, no $rule_load"
    return
  fi
  # Without a file, rule_load writes and loads its own 10,000 rules of all
  # four kinds; its line reads "rule_load: median X ms ... of N rules ...".
  local output status=ok ms n
  output=$(timeout -k 3 120 "$rule_load" --runs $((smoke ? 1 : 5)) 2>&1) || status="rule_load exit status $?"
  ms=$(parse_rule_load "$output")
  n=$(sed -n 's/.* of \([0-9]*\) rules.*/\1/p' <<<"$output" | head -n 1)
  n=${n:-10000}
  [ -n "$ms" ] || status="no time in rule_load's output: $(tail -n 1 <<<"$output" | tr -d ',')"
  echo "$n,$ms,$status" >>"$out/rule_load.csv"
  log "rule load $n rules: ${ms:-?} ms ($status)"
  [ $smoke = 1 ] && [ "$status" != ok ] && fail "rule load: $status"
}

# rule_load prints the load time; take the first "<number> ms" or "ms=<number>".
parse_rule_load() {
  awk '{
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^[a-z_]*ms=[0-9.]+$/) { sub(/^[a-z_]*ms=/, "", $i); print $i; exit }
      if ($i == "ms" && $(i - 1) ~ /^[0-9.]+$/) { print $(i - 1); exit }
    }
  }' <<<"$1"
}

# ---------------------------------------------------------------------------
# Report

stats() { # numbers on stdin -> "mean sd min max median n"
  sort -g | awk '{ v[++n] = $1; s += $1; ss += $1 * $1 }
    END {
      if (n == 0) { print "nan nan nan nan nan 0"; exit }
      m = s / n; var = n > 1 ? (ss - n * m * m) / (n - 1) : 0; if (var < 0) var = 0
      med = n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      printf "%.10g %.10g %.10g %.10g %.10g %d\n", m, sqrt(var), v[1], v[n], med, n
    }'
}

column_of() { # csv filter-awk-condition column -> values
  awk -F, -v col="$3" "NR > 1 && \$11 == \"ok\" && $2 { print \$col }" "$1"
}

size_label() {
  case $1 in
    *k) echo "${1%k} KiB" ;;
    *) echo "$1 B" ;;
  esac
}

target_ratio() { # reliability size -> minimum relayed/direct (empty: none)
  [ $smoke = 1 ] || [ "$1" != reliable ] && return
  if [ "$2" = 64 ]; then echo 0.35; else echo 0.45; fi
}

summarise_throughput() {
  local csv=$out/throughput.csv sum=$out/throughput_summary.csv
  echo "reliability,size,size_label,direct_sps,direct_sd,relayed_sps,relayed_sd,ratio,ratio_min,ratio_max,relayed_lost,cpu_pct,peak_rss_kb,target" >"$sum"
  local rel size
  for rel in reliable best-effort; do
    for size in $sizes; do
      local sel="\$2 == \"$rel\" && \$3 == \"$size\""
      local lost cpu hwm ratios
      read -r dm dsd _ <<<"$(column_of "$csv" "\$1 == \"direct\" && $sel" 5 | stats)"
      read -r rm rsd _ <<<"$(column_of "$csv" "\$1 == \"relayed\" && $sel" 5 | stats)"
      lost=$(column_of "$csv" "\$1 == \"relayed\" && $sel" 7 | awk '{ s += $1 } END { print NR ? s : "" }')
      cpu=$(column_of "$csv" "\$1 == \"relayed\" && $sel" 9 | stats | awk '$6 > 0 { printf "%.0f", $1 }')
      hwm=$(column_of "$csv" "\$1 == \"relayed\" && $sel" 10 | stats | awk '$6 > 0 { printf "%.0f", $4 }')
      # Pair each relayed run with the direct run just before it.
      ratios=$(awk -F, -v rel="$rel" -v size="$size" 'NR > 1 && $2 == rel && $3 == size {
                 if ($1 == "direct") d[$4] = ($11 == "ok") ? $5 : ""
                 else if ($11 == "ok" && d[$4] > 0) print $5 / d[$4] }' "$csv" | stats)
      local ratio rmin rmax
      read -r _ _ rmin rmax _ rn <<<"$ratios"
      ratio=$(awk -v a="$rm" -v b="$dm" 'BEGIN { if (a == "nan" || b == "nan" || b == 0) print ""; else printf "%.3f", a / b }')
      [ "$rn" = 0 ] && rmin='' rmax=''
      echo "$rel,$size,$(size_label "$size"),$dm,$dsd,$rm,$rsd,$ratio,$rmin,$rmax,$lost,$cpu,$hwm,$(target_ratio "$rel" "$size")" >>"$sum"
    done
  done
}

plot_throughput() {
  local sum=$out/throughput_summary.csv png=$out/throughput.png
  command -v gnuplot >/dev/null || { log "no gnuplot: plot skipped"; return; }
  awk -F, 'NR > 1 { $1 = $1; for (i = 1; i <= NF; i++) if ($i == "" || $i == "nan") $i = "NaN"; print }' OFS='\t' "$sum" >"$work/tp.dat"
  local rows ymax
  rows=$(wc -l <"$work/tp.dat")
  ymax=$(awk -F'\t' '{ n = split("8 10 14", c, " "); for (i = 1; i <= n; i++) if ($c[i] != "NaN" && $c[i] + 0 > m) m = $c[i] + 0 } END { print (m > 0.9 ? m * 1.15 : 1) }' "$work/tp.dat")
  [ "$rows" -gt 0 ] || return
  gnuplot <<EOF 2>"$work/gnuplot.log" || log "gnuplot failed: $(grep . "$work/gnuplot.log" | tail -n 1)"
set terminal pngcairo size 1200,500 font "sans,10"
set output "$png"
set datafile separator "\t"
set datafile missing "NaN"
set multiplot layout 1,2 title "corvane relayed vs direct ddsperf throughput (loopback, $(nproc) CPUs)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set ylabel "samples/s at the subscriber"
set key top right
set grid ytics
set title "Throughput"
set xtics rotate by -30
plot "$work/tp.dat" using 4:xtic(sprintf("%s %s", strcol(3), strcol(1) eq "reliable" ? "R" : "BE")) title "direct", \
     "" using 6 title "relayed"
unset logscale y
set ylabel "relayed / direct"
set yrange [0:$ymax]
set xrange [-0.5:$rows - 0.5]
set title "Ratio (bars: min..max of back-to-back pairs)"
set style data linespoints
set xtics rotate by -30
plot "$work/tp.dat" using 0:8:9:10:xtic(sprintf("%s %s", strcol(3), strcol(1) eq "reliable" ? "R" : "BE")) with yerrorbars pt 7 ps 0.8 title "ratio", \
     "" using 0:(strcol(14) eq "NaN" ? NaN : column(14)) with points pt 6 ps 1.5 title "target (reliable)"
unset multiplot
EOF
}

verdict() { # measured_value met(1/0) -> ": met", ": not met" or nothing
  [ -z "$1" ] || [ "$1" = nan ] && return
  [ "$2" = 1 ] && echo ": met" || echo ": not met"
}

fmt_k() { awk -v v="$1" 'BEGIN { if (v == "" || v == "nan") print "n/a"; else if (v >= 1000) printf "%.1f k", v / 1000; else printf "%.0f", v }'; }
fmt() { [ -n "$1" ] && [ "$1" != nan ] && echo "$1" || echo "n/a"; }
fmt1() { [ -n "$1" ] && [ "$1" != nan ] && awk -v v="$1" -v u="${2:-}" 'BEGIN { printf "%.1f%s\n", v, u }' || echo "n/a"; }

write_report() {
  local r=$out/report.md
  {
    echo "# corvane benchmark report"
    echo
    echo "- When: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "- Machine: $(nproc) CPUs, $(uname -r); load average at start: $load_at_start"
    echo "- Mode: $([ $smoke = 1 ] && echo "smoke (no targets)" || echo full), $reps repetition(s) of ${seconds} s; corvane: \`$corvane\`"
    echo "- Suite time: $(( ($(now_us) - suite_t0) / 1000000 )) s. Other load on the machine makes every figure noisy; compare ratios of one run."
    echo
    if wants throughput; then
      echo "## Throughput (ddsperf pub -> sub)"
      echo
      echo "Rate at the subscriber in samples/s (mean of $reps runs, ± standard deviation); ratio = mean relayed / mean direct, range over back-to-back pairs. CPU is corvane's share of one core while the publisher ran; RSS is its peak (VmHWM)."
      echo
      echo "| size | reliability | direct S/s | relayed S/s | relayed/direct | range | relayed lost | corvane CPU | corvane peak RSS | target |"
      echo "|---|---|---|---|---|---|---|---|---|---|"
      awk -F, 'NR > 1' "$out/throughput_summary.csv" | while IFS=, read -r rel size label dm dsd rm rsd ratio rmin rmax lost cpu hwm target; do
        local verdict=-
        if [ -n "$target" ]; then
          verdict="≥ $target, lost 0$(verdict "$ratio" "$(awk -v a="$ratio" -v t="$target" -v l="${lost:-0}" 'BEGIN { print (a >= t && l == 0) }')")"
        fi
        local range=
        [ -n "$rmin" ] && range=$(printf '%.3f–%.3f' "$rmin" "$rmax")
        echo "| $label | $rel | $(fmt_k "$dm") ± $(fmt_k "$dsd") | $(fmt_k "$rm") ± $(fmt_k "$rsd") | $(fmt "$ratio") | $(fmt "$range") | $(fmt "$lost") | $( [ -n "$cpu" ] && echo "$cpu %" || echo n/a) | $( [ -n "$hwm" ] && awk -v k="$hwm" 'BEGIN { printf "%.1f MB", k / 1024 }' || echo n/a) | $verdict |"
      done
      echo
      echo "![throughput](throughput.png)"
      echo
      notes_of "$out/throughput.csv" 11
    fi
    if wants latency; then
      echo "## One-way latency (latency_probe, 1 kHz, 64 B, reliable)"
      echo
      echo "One-way latency in µs: median over runs of each run's median, p90 and p99; the largest max; lost summed. Ratio = relayed median / direct median."
      echo
      echo "| path | runs | median | p90 | p99 | max | lost |"
      echo "|---|---|---|---|---|---|---|"
      local path dmed='' rmed=''
      for path in direct relayed; do
        local med p90 p99 mx lost n
        read -r _ _ _ _ med n <<<"$(column_lat "$path" 5 | stats)"
        read -r _ _ _ _ p90 _ <<<"$(column_lat "$path" 6 | stats)"
        read -r _ _ _ _ p99 _ <<<"$(column_lat "$path" 7 | stats)"
        read -r _ _ _ mx _ _ <<<"$(column_lat "$path" 8 | stats)"
        lost=$(column_lat "$path" 4 | awk '{ s += $1 } END { print NR ? s : "n/a" }')
        [ "$path" = direct ] && dmed=$med || rmed=$med
        echo "| $path | $n | $(fmt1 "$med") | $(fmt1 "$p90") | $(fmt1 "$p99") | $(fmt1 "$mx") | $lost |"
      done
      local lratio
      lratio=$(awk -v a="$rmed" -v b="$dmed" 'BEGIN { if (a == "nan" || b == "nan" || b == 0) print "n/a"; else printf "%.2f", a / b }')
      echo
      local lverdict=
      [ $smoke = 1 ] || lverdict=" (target ≤ 2.5$(verdict "${lratio#n/a}" "$(awk -v r="$lratio" 'BEGIN { print (r <= 2.5) }')"))"
      echo "Relayed/direct median: $lratio$lverdict."
      echo
      notes_of "$out/latency.csv" 9
    fi
    if wants scale; then
      echo "## Scale"
      echo
      echo "Start-up: launch of corvane until its \"is running\" banner (median of runs); RSS read 0.5 s after the banner (largest of runs). Rules: plain DDS rules spread over domains ${dom_scale[*]}."
      echo
      echo "| rules | runs | start-up ms | RSS | peak RSS | target |"
      echo "|---|---|---|---|---|---|"
      local count
      for count in 1 100 1000; do
        local ms n rss hwm target=-
        read -r _ _ _ _ ms n <<<"$(awk -F, -v c=$count 'NR > 1 && $1 == c && $6 == "ok" { print $3 }' "$out/scale.csv" | stats)"
        read -r _ _ _ rss _ <<<"$(awk -F, -v c=$count 'NR > 1 && $1 == c && $6 == "ok" { print $4 / 1024 }' "$out/scale.csv" | stats)"
        read -r _ _ _ hwm _ <<<"$(awk -F, -v c=$count 'NR > 1 && $1 == c && $6 == "ok" { print $5 / 1024 }' "$out/scale.csv" | stats)"
        if [ $smoke = 0 ]; then
          [ $count = 100 ] && target="peak RSS ≤ 15 MB$(verdict "$hwm" "$(awk -v v="$hwm" 'BEGIN { print (v <= 15) }')")"
          [ $count = 1000 ] && target="start-up ≤ 1000 ms$(verdict "$ms" "$(awk -v v="$ms" 'BEGIN { print (v <= 1000) }')")"
        fi
        echo "| $count | $n | $(fmt1 "$ms") | $(fmt1 "$rss" " MB") | $(fmt1 "$hwm" " MB") | $target |"
      done
      echo
      local lrow
      lrow=$(awk -F, 'NR == 2' "$out/rule_load.csv")
      IFS=, read -r lrules lms lstatus <<<"$lrow"
      if [ "$lstatus" = ok ]; then
        echo "Loading a $lrules-rule file (bench/rule_load, median of $((smoke ? 1 : 5)) loads): $lms ms$([ $smoke = 1 ] || echo " (target ≤ 500 ms$(verdict "$lms" "$(awk -v v="$lms" 'BEGIN { print (v <= 500) }')"))")."
      else
        echo "Loading a $lrules-rule file: ${lstatus:-not run}."
      fi
      echo
      notes_of "$out/scale.csv" 6
    fi
    if [ ${#failures[@]} -gt 0 ]; then
      echo "## Failures"
      echo
      printf -- '- %s\n' "${failures[@]}"
      echo
    fi
  } >"$r"
}

column_lat() { awk -F, -v p="$1" -v c="$2" 'NR > 1 && $1 == p && $9 == "ok" { print $c }' "$out/latency.csv"; }

notes_of() { # csv status_column: each distinct non-ok status with the rows' first columns
  local notes
  notes=$(awk -F, -v c="$2" 'NR > 1 && $c != "ok" {
      if (!($c in keys)) { order[++n] = $c; keys[$c] = $1 }
      else if (index(", " keys[$c] ", ", ", " $1 ", ") == 0) keys[$c] = keys[$c] ", " $1
    }
    END { for (i = 1; i <= n; i++) print "- " keys[order[i]] ": " order[i] }' "$1")
  [ -n "$notes" ] && printf 'Not measured:\n\n%s\n\n' "$notes"
}

# ---------------------------------------------------------------------------

command -v ddsperf >/dev/null || { echo "run.sh: ddsperf not found (Debian package cyclonedds-tools)" >&2; exit 1; }
if [ $do_build = 1 ]; then
  targets=(corvane latency_probe)
  [ -d "$root/bench/rule_load" ] && targets+=(rule_load)
  # The tools are test targets: a tree configured without them gets them.
  cmake -S "$root" -B "$build_dir" -DBUILD_TESTING=ON >/dev/null || exit 1
  cmake --build "$build_dir" -j2 --target "${targets[@]}" || exit 1
fi
mkdir -p "$out"
rm -f "$out"/*.csv "$out"/report.md "$out"/throughput.png
suite_t0=$(now_us)
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
log "output in $out; corvane $corvane$([ -x "$corvane" ] || echo " (missing: relayed paths n/a)")"

wants throughput && { run_throughput; summarise_throughput; plot_throughput; }
wants latency && run_latency
wants scale && run_scale
write_report
log "report: $out/report.md ($(( ($(now_us) - suite_t0) / 1000000 )) s)"
if [ ${#failures[@]} -gt 0 ]; then
  log "${#failures[@]} failure(s):"
  printf '  %s\n' "${failures[@]}" >&2
  exit 1
fi
exit 0
