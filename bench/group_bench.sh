#!/usr/bin/env bash
# Per-client summaries of the 1,000,000-job reference table: the library's grouping
# (build/group_bench) beside DuckDB's GROUP BY with one thread (npm package @duckdb/node-api), on
# the same data in one run, ROUNDS rounds each (default 5), alternating; prints the medians of
# wall and CPU time and their ratio, and checks that both outputs equal sqlite3's GROUP BY.
#   bench/group_bench.sh [BUILD_DIR]          (configure with -DKR_BENCH=ON)
# Data and node modules are kept under ~/.cache/krreports-bench (as bench/report_inmem.sh does).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
peers=${KR_PEERS:-$(cd .. && pwd)/shared/bench}
rounds=${ROUNDS:-5}
cache=~/.cache/krreports-bench
data=$cache/jobs-1000000
mkdir -p "$cache"
[ -f "$data/jobs.csv" ] || python3 "$peers/gen_jobs.py" 1000000 "$data"
[ -d "$cache/node_modules/@duckdb/node-api" ] || (cd "$cache" && npm install --silent @duckdb/node-api >/dev/null)
cp bench/group_duck.mjs "$cache/"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/config" "$work/home/reports"
printf '[Directories]\nReports = "%s"\n' "$work/home/reports" >"$work/home/config/configure.cfg"

# Each side loads once, then groups ROUNDS times; each prints the wall and CPU time of every
# grouping (CPU: the process's user and system time, all threads). The machine may be busy: the
# CPU times are the steadier figure.
KR_HOME=$work/home "$build/group_bench" "$data/jobs.csv" "$work/lib.csv" "$rounds" >"$work/lib.out"
(cd "$cache" && JOBS_CSV=$data/jobs.csv DUCK_OUT=$work/duck.csv THREADS=1 ROUNDS=$rounds \
  node group_duck.mjs) >"$work/duck.out"
sqlite3 -csv "$data/jobs.db" "select client, count(*), sum(status = 'Cancelled'),
  sum(status = 'Failed'), sum(status = 'OK'), sum(status = 'Warning'), sum(size), sum(files)
  from jobs group by client order by client" >"$work/sqlite.csv"
cmp -s "$work/lib.csv" "$work/sqlite.csv" || { echo "library output differs from sqlite3's"; exit 1; }
cmp -s "$work/duck.csv" "$work/sqlite.csv" || { echo "DuckDB output differs from sqlite3's"; exit 1; }

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
lib_wall=$(awk '$1=="group" {print $2}' "$work/lib.out" | median)
lib_cpu=$(awk '$1=="group" {print $3}' "$work/lib.out" | median)
duck_wall=$(awk '$1=="group" {print $2}' "$work/duck.out" | median)
duck_cpu=$(awk '$1=="group" {print $3}' "$work/duck.out" | median)
echo "per-client summaries of 1,000,000 jobs, $rounds rounds, medians (outputs equal sqlite3's)"
printf '%-22s %10s %12s %8s\n' "" library "DuckDB 1t" ratio
printf '%-22s %9.4fs %11.4fs %7.2fx\n' "group (wall)" "$lib_wall" "$duck_wall" \
  "$(awk -v a="$lib_wall" -v b="$duck_wall" 'BEGIN {print a / b}')"
printf '%-22s %9.4fs %11.4fs %7.2fx\n' "group (CPU)" "$lib_cpu" "$duck_cpu" \
  "$(awk -v a="$lib_cpu" -v b="$duck_cpu" 'BEGIN {print a / b}')"
