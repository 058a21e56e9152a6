#!/usr/bin/env bash
# End to end: the reference report produced by krreport from krcatalogd, against the sqlite3
# command line running the same query on the same catalog file, alternated in one run.
#
# The reference report: 1,000,000 jobs; keep status OK and size over 1,000,000; sort by client
# (case-blind) ascending, then size descending; CSV of jobid, client, level, size, files. Then the
# same with a range restriction on the start time that keeps about a tenth of the jobs (the last
# 9 of 90 days), which the catalog turns into a WHERE on its index: it should cost about a tenth.
#
#   bench/e2e_report.sh             JOBS=1000000 RUNS=3 by default
# Prints each run's wall and CPU time and every process's peak memory (maximum resident set
# size). On a shared machine the CPU times are the steadier figure.
# Target: krreport at most 2.0x the sqlite3 wall time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps
command -v /usr/bin/time >/dev/null || {
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y -qq --no-install-recommends time >/dev/null
}
build=${BUILD_DIR:-build}
jobs=${JOBS:-1000000}
runs=${RUNS:-3}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target krreportd krcatalogd krreport >/dev/null

home=$(mktemp -d "${TMPDIR:-/tmp}/kre2e.XXXXXX")
pids=()
finish() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$home"
}
trap finish EXIT
start() {
  local name=$1; shift
  "$@" >"$home/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do
    grep -q '^ready$' "$home/$name.log" && return 0
    sleep 0.1
  done
  echo "$name did not start" >&2; return 1
}
peak_kb() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
# CPU seconds a running process has used so far.
cpu_s() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

cp -R examples/. "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=bench
now=$(date +%s)
db=$home/catalog.db
t0=$(date +%s%N)
"$build/krcatalogd" generate --jobs "$jobs" --now "$now" "$db"
echo "catalog of $jobs jobs generated in $(( ($(date +%s%N) - t0) / 1000000 )) ms ($(du -h "$db" | cut -f1))"
start krreportd "$build/krreportd"
start krcatalogd "$build/krcatalogd" serve --catalog "$db"

format='%jobid,%client,%level,%size,%files%\n'
include='%status = OK AND %size > 1000000'
sql="SELECT jobid, client, level, size, files FROM jobs WHERE status = 'OK' AND size > 1000000"
order="ORDER BY client COLLATE NOCASE ASC, size DESC"
lower=$(( now - 9 * 86400 ))

# run LABEL COMMAND...: wall time in ms and peak memory in KB of one command, output discarded.
run() {
  local label=$1; shift
  local t0 t1 p0
  p0=$(cpu_s "${pids[1]}")
  t0=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$home/mem" "$@" >"$home/out" 2>"$home/err" || {
    echo "$label failed:" >&2; cat "$home/err" >&2; exit 1; }
  t1=$(date +%s%N)
  local ms=$(( (t1 - t0) / 1000000 ))
  read -r kb user sys < <(tail -n 1 "$home/mem")
  printf '%-22s %7d ms wall %6.2f s cpu %8d KB peak  %d lines\n' "$label" "$ms" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')" "$kb" "$(wc -l <"$home/out")"
  case $label in krreport*)
    printf '%-22s %17s %6.2f s cpu (krcatalogd)\n' "" "" \
      "$(awk -v a="$p0" -v b="$(cpu_s "${pids[1]}")" 'BEGIN {print b - a}')" ;;
  esac
  echo "$ms" >>"$home/times.$label"
}

for i in $(seq "$runs"); do
  echo "-- run $i"
  run krreport "$build/krreport" run --class Jobs --include "$include" --sort '%client %size-' \
    --format "$format" --type csv --option autocolumnheaders=No --header '' --footer '' -o - --quiet
  run sqlite3 sqlite3 -csv "$db" "$sql $order"
  run krreport-restricted "$build/krreport" run --class 'Recent jobs' --include "$include" \
    --sort '%client %size-' --format "$format" --type csv --option autocolumnheaders=No --header '' --footer '' -o - --quiet
  run sqlite3-restricted sqlite3 -csv "$db" "$sql AND starttime BETWEEN $lower AND $now $order"
done

median() { sort -n "$home/times.$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
k=$(median krreport); s=$(median sqlite3); kr=$(median krreport-restricted)
echo "median: krreport $k ms, sqlite3 $s ms: $(awk -v a="$k" -v b="$s" 'BEGIN {printf "%.2f", a/b}')x (target <= 2.0x)"
echo "restricted: krreport $kr ms = $(awk -v a="$kr" -v b="$k" 'BEGIN {printf "%.2f", a/b}') of the unrestricted run (about 0.1 expected)"
echo "peak memory: krcatalogd $(peak_kb "${pids[1]}") KB, krreportd $(peak_kb "${pids[0]}") KB"
