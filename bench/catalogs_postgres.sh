#!/usr/bin/env bash
# Catalogs in PostgreSQL and SQLite, end to end, in one run:
#
#  1. The reference report (the one bench/e2e_report.sh times: keep status OK and size over
#     1,000,000; sort by client case-blind, then size descending; CSV of jobid, client, level,
#     size, files) produced by krreport from krcatalogd serving a PostgreSQL catalog, against psql
#     running the same query on the same database. Target: at most 1.0x.
#  2. A report whose class filter keeps 1% of the jobs (size above the 99th percentile), against
#     the same report unfiltered, from PostgreSQL and from SQLite: the filter is pushed into the
#     catalog's SELECT, so the filtered report should cost at most 0.1 of the unfiltered one.
#
# Each process's peak memory (maximum resident set size) is printed beside its times. The
# PostgreSQL server is started here, in a temporary directory, as nobody when run as root, on a
# Unix socket only, and stopped on every path.
#
#   bench/catalogs_postgres.sh         JOBS=1000000 RUNS=3 by default
# On a shared machine the CPU times are the steadier figure.
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

home=$(mktemp -d "${TMPDIR:-/tmp}/krpgbench.XXXXXX")
pgbin=$(ls -d /usr/lib/postgresql/*/bin | tail -n 1)
as_user=()
if [ "$(id -u)" -eq 0 ]; then as_user=(runuser -u nobody --); fi
pids=()
finish() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -d "$home/pg/data" ] && timeout 60 "${as_user[@]}" "$pgbin/pg_ctl" -D "$home/pg/data" \
    -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$home"
}
trap finish EXIT

mkdir "$home/pg"
[ "$(id -u)" -eq 0 ] && chown nobody "$home/pg" && chmod 755 "$home"
timeout 120 "${as_user[@]}" "$pgbin/initdb" -D "$home/pg/data" -A trust -U kr -E UTF8 \
  --no-locale >"$home/initdb.log" 2>&1
timeout 60 "${as_user[@]}" "$pgbin/pg_ctl" -D "$home/pg/data" -l "$home/pg/log" -w -o \
  "-k $home/pg -c listen_addresses= -p 5432 -c fsync=off -c shared_buffers=256MB" start >/dev/null
pg="host=$home/pg port=5432 user=kr dbname=postgres"

start() {
  local name=$1; shift
  "$@" >"$home/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do
    grep -q '^ready$' "$home/$name.log" && return 0
    sleep 0.1
  done
  echo "$name did not start" >&2; cat "$home/$name.log" >&2; return 1
}
stop_last() {
  local pid=${pids[-1]}
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
  unset 'pids[-1]'
}
peak_kb() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
cpu_s() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

cp -R examples/. "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=bench
now=$(date +%s)
export KR_FIXED_TIME=$now
db=$home/catalog.db
t0=$(date +%s%N)
"$build/krcatalogd" generate --jobs "$jobs" --now "$now" "$db"
echo "SQLite catalog of $jobs jobs generated in $(( ($(date +%s%N) - t0) / 1000000 )) ms"
t0=$(date +%s%N)
"$build/krcatalogd" generate --jobs "$jobs" --now "$now" "$pg"
echo "PostgreSQL catalog of $jobs jobs generated in $(( ($(date +%s%N) - t0) / 1000000 )) ms"

# The 1% class: jobs larger than the 99th percentile of sizes.
threshold=$(psql -X -A -t -d "$pg" -c \
  "SELECT size FROM jobs ORDER BY size DESC OFFSET $(( jobs / 100 )) LIMIT 1")
printf '%%NICENAME = %s\nSELECT jobs.* FROM jobs WHERE IN jobs FILTER IS (%%size > %s)\n' \
  "'Largest jobs'" "$threshold" >"$home/reports/classes/LargestJobs"
echo "1% filter: %size > $threshold"

start krreportd "$build/krreportd"

format='%jobid,%client,%level,%size,%files%\n'
include='%status = OK AND %size > 1000000'
sql="SELECT jobid, client, level, size, files FROM jobs WHERE status = 'OK' AND size > 1000000"
order="ORDER BY lower(client) ASC, size DESC"

# run LABEL COMMAND...: wall and CPU time and peak memory of one command, output discarded; for
# krreport also the provider's CPU time meanwhile.
run() {
  local label=$1; shift
  local t0 t1 p0
  p0=$(cpu_s "${pids[-1]}")
  t0=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$home/mem" "$@" >"$home/out" 2>"$home/err" || {
    echo "$label failed:" >&2; cat "$home/err" >&2; exit 1; }
  t1=$(date +%s%N)
  local ms=$(( (t1 - t0) / 1000000 ))
  read -r kb user sys < <(tail -n 1 "$home/mem")
  printf '%-26s %7d ms wall %6.2f s cpu %8d KB peak  %d lines\n' "$label" "$ms" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')" "$kb" "$(wc -l <"$home/out")"
  case $label in krreport*)
    printf '%-26s %17s %6.2f s cpu (krcatalogd)\n' "" "" \
      "$(awk -v a="$p0" -v b="$(cpu_s "${pids[-1]}")" 'BEGIN {print b - a}')" ;;
  esac
  echo "$ms" >>"$home/times.$label"
}
report() {
  local label=$1 class=$2; shift 2
  run "$label" "$build/krreport" run --class "$class" --sort '%client %size-' --format "$format" \
    --type csv --option autocolumnheaders=No --header '' --footer '' -o - --quiet "$@"
}

start krcatalogd-pg "$build/krcatalogd" serve --catalog "$pg"
for i in $(seq "$runs"); do
  echo "-- PostgreSQL, run $i"
  report krreport-pg Jobs --include "$include"
  run psql psql -X -A -t --csv -d "$pg" -c "$sql $order"
  report krreport-pg-all Jobs
  report krreport-pg-1% 'Largest jobs'
done
echo "peak memory: krcatalogd (PostgreSQL) $(peak_kb "${pids[-1]}") KB"
stop_last

start krcatalogd-sqlite "$build/krcatalogd" serve --catalog "$db"
for i in $(seq "$runs"); do
  echo "-- SQLite, run $i"
  report krreport-sqlite-all Jobs
  report krreport-sqlite-1% 'Largest jobs'
done
echo "peak memory: krcatalogd (SQLite) $(peak_kb "${pids[-1]}") KB, krreportd $(peak_kb "${pids[0]}") KB"

median() { sort -n "$home/times.$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN {printf "%.2f", a/b}'; }
echo "median: krreport $(median krreport-pg) ms, psql $(median psql) ms:" \
  "$(ratio krreport-pg psql)x (target <= 1.0x)"
echo "1% filter from PostgreSQL: $(median krreport-pg-1%) ms = $(ratio krreport-pg-1% krreport-pg-all)" \
  "of the unfiltered $(median krreport-pg-all) ms (target <= 0.1)"
echo "1% filter from SQLite: $(median krreport-sqlite-1%) ms = $(ratio krreport-sqlite-1% krreport-sqlite-all)" \
  "of the unfiltered $(median krreport-sqlite-all) ms (target <= 0.1)"
