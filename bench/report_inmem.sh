#!/usr/bin/env bash
# The reference report in memory: the library's stages (bench/report_stages) beside DuckDB with one
# thread (npm package @duckdb/node-api) and the sqlite3 command line, on the same 1,000,000 jobs,
# alternated ROUNDS times (default 3) in one run; prints medians and ratios against DuckDB and
# checks that the library's and DuckDB's CSV equal sqlite3's byte for byte.
#   bench/report_inmem.sh [BUILD_DIR]
# Peers and data generator: KR_PEERS (default ../shared/bench). Data and node modules are kept
# under ~/.cache/krreports-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
peers=${KR_PEERS:-$(cd .. && pwd)/shared/bench}
rounds=${ROUNDS:-3}
cache=~/.cache/krreports-bench
data=$cache/jobs-1000000
mkdir -p "$cache"
[ -f "$data/jobs.csv" ] || python3 "$peers/gen_jobs.py" 1000000 "$data"
[ -d "$cache/node_modules/@duckdb/node-api" ] || (cd "$cache" && npm install --silent @duckdb/node-api >/dev/null)
cp "$peers/duck_report.mjs" "$cache/"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/config" "$work/home/reports"
printf '[Directories]\nReports = "%s"\n' "$work/home/reports" >"$work/home/config/configure.cfg"

for r in $(seq "$rounds"); do
  KR_HOME=$work/home /usr/bin/time -f "rss_kb %M" "$build/report_stages" "$data/jobs.csv" \
    "$work/lib.csv" >"$work/lib.$r" 2>&1
  (cd "$cache" && JOBS_CSV=$data/jobs.csv DUCK_OUT=$work/duck.csv THREADS=1 \
    /usr/bin/time -f "rss_kb %M" node duck_report.mjs) >"$work/duck.$r" 2>&1
  /usr/bin/time -f "wall %e" sqlite3 -csv -cmd ".read $peers/sqlite_report.sql" "$data/jobs.db" \
    ".quit" >"$work/sqlite.csv" 2>"$work/sqlite.$r"
done
cmp -s "$work/lib.csv" "$work/sqlite.csv" || { echo "library output differs from sqlite3's"; exit 1; }
cmp -s "$work/duck.csv" "$work/sqlite.csv" || { echo "DuckDB output differs from sqlite3's"; exit 1; }

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
lib() { cat "$work"/lib.* | awk -v k="$1" '$1==k {print $2}' | median; }
duck_load=$(cat "$work"/duck.* | awk '/load/ {print $(NF-1)}' | median)
duck_run=$(cat "$work"/duck.* | awk '/filter\+sort\+write/ {print $(NF-1)}' | median)
duck_rss=$(cat "$work"/duck.* | awk '$1=="rss_kb" {print $2}' | median)
sqlite_wall=$(cat "$work"/sqlite.* | awk '$1=="wall" {print $2}' | median)
lib_rss=$(cat "$work"/lib.* | awk '$1=="rss_kb" {print $2}' | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }

echo "reference report, $rounds rounds, medians (output byte-identical to sqlite3's)"
printf '%-28s %10s %12s %8s\n' stage library "DuckDB 1t" ratio
for s in filter sort write; do printf '%-28s %9.3fs %12s %8s\n' "$s" "$(lib "$s")" "" ""; done
printf '%-28s %9.3fs %11.3fs %8s\n' "filter + sort + write" "$(lib pipeline)" "$duck_run" \
  "$(ratio "$(lib pipeline)" "$duck_run")"
printf '%-28s %9.3fs %11.3fs %8s\n' "load (text to values)" "$(lib load)" "$duck_load" \
  "$(ratio "$(lib load)" "$duck_load")"
printf '%-28s %9sB %12s %8s\n' "heap per nine-field record" "$(lib heap_per_record)" "" ""
printf '%-28s %8dMB %10dMB %8s\n' "peak resident memory" "$((lib_rss / 1024))" \
  "$((duck_rss / 1024))" "$(ratio "$lib_rss" "$duck_rss")"
printf '%-28s %10s %11.3fs\n' "sqlite3 whole query" "" "$sqlite_wall"
