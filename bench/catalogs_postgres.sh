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
jobs=${JOBS:-1000000}
runs=${RUNS:-3}
source "$(dirname "$0")/e2e_lib.sh"
pgbin=$(ls -d /usr/lib/postgresql/*/bin | tail -n 1)
as_user=()
if [ "$(id -u)" -eq 0 ]; then as_user=(runuser -u nobody --); fi
stop_postgres() {
  [ -d "$home/pg/data" ] && timeout 60 "${as_user[@]}" "$pgbin/pg_ctl" -D "$home/pg/data" \
    -m immediate -w stop >/dev/null 2>&1
}
at_exit stop_postgres

mkdir "$home/pg"
[ "$(id -u)" -eq 0 ] && chown nobody "$home/pg" && chmod 755 "$home"
timeout 120 "${as_user[@]}" "$pgbin/initdb" -D "$home/pg/data" -A trust -U kr -E UTF8 \
  --no-locale >"$home/initdb.log" 2>&1
timeout 60 "${as_user[@]}" "$pgbin/pg_ctl" -D "$home/pg/data" -l "$home/pg/log" -w -o \
  "-k $home/pg -c listen_addresses= -p 5432 -c fsync=off -c shared_buffers=256MB" start >/dev/null
pg="host=$home/pg port=5432 user=kr dbname=postgres"

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

# psql's order for sqlite3's COLLATE NOCASE: PostgreSQL has no case-blind collation by default.
order="ORDER BY lower(client) ASC, size DESC"

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

median_of() { median "times.$1"; }
ratio_of() { ratio "$(median_of "$1")" "$(median_of "$2")"; }
echo "median: krreport $(median_of krreport-pg) ms, psql $(median_of psql) ms:" \
  "$(ratio_of krreport-pg psql)x (target <= 1.0x)"
echo "1% filter from PostgreSQL: $(median_of krreport-pg-1%) ms =" \
  "$(ratio_of krreport-pg-1% krreport-pg-all) of the unfiltered $(median_of krreport-pg-all) ms" \
  "(target <= 0.1)"
echo "1% filter from SQLite: $(median_of krreport-sqlite-1%) ms =" \
  "$(ratio_of krreport-sqlite-1% krreport-sqlite-all) of the unfiltered" \
  "$(median_of krreport-sqlite-all) ms (target <= 0.1)"
