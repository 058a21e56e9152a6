#!/usr/bin/env bash
# End to end: the reference report produced by krreport from krcatalogd, against the sqlite3
# command line running the same query on the same catalog file, alternated in one run.
#
# The reference report: 1,000,000 jobs; keep status OK and size over 1,000,000; sort by client
# (case-blind) ascending, then size descending; CSV of jobid, client, level, size, files. Then the
# same with a range restriction on the start time that keeps about a tenth of the jobs (the last
# 9 of 90 days), which the catalog turns into a WHERE on its index: it should cost about a tenth.
# Then every column of every job, unfiltered and unsorted, against `sqlite3 -csv 'SELECT * FROM
# jobs'`: what the provider spends to read and ship the whole table.
#
#   bench/e2e_report.sh             JOBS=1000000 RUNS=3 by default
#
# Prints each run's wall and CPU time and every process's peak memory (maximum resident set
# size), then the medians against the targets: the reference report at most 0.5x the sqlite3
# wall time, the restricted one at most 1.0x, krreport's peak at most 300 MB, krcatalogd's CPU
# for the whole table at most 1.2x that of sqlite3 reading and printing it. On a shared machine
# the CPU times are the steadier figure.
jobs=${JOBS:-1000000}
runs=${RUNS:-3}
source "$(dirname "$0")/e2e_lib.sh"
now=$(date +%s)
# The restricted report's last 9 days end where sqlite3's do, however long the runs take.
export KR_FIXED_TIME=$now
db=$home/catalog.db
t0=$(date +%s%N)
"$build/krcatalogd" generate --jobs "$jobs" --now "$now" "$db"
echo "catalog of $jobs jobs generated in $(( ($(date +%s%N) - t0) / 1000000 )) ms ($(du -h "$db" | cut -f1))"
start krreportd "$build/krreportd"
start krcatalogd "$build/krcatalogd" serve --catalog "$db"

lower=$(( now - 9 * 86400 ))

all_fields='%jobid,%client,%level,%status,%size,%files,%starttime,%startdate,%startat,%duration,%mediaid%\n'

for i in $(seq "$runs"); do
  echo "-- run $i"
  run krreport "$build/krreport" run --class Jobs "${report_args[@]}"
  run sqlite3 sqlite3 -csv "$db" "$sql $order"
  run krreport-restricted "$build/krreport" run --class 'Recent jobs' "${report_args[@]}"
  run sqlite3-restricted sqlite3 -csv "$db" "$sql AND starttime BETWEEN $lower AND $now $order"
  run krreport-full "$build/krreport" run --class Jobs --format "$all_fields" --type csv \
    --option autocolumnheaders=No --header '' --footer '' -o - --quiet
  run sqlite3-full sqlite3 -csv "$db" "SELECT * FROM jobs"
done

k=$(median times.krreport); s=$(median times.sqlite3)
kr=$(median times.krreport-restricted); sr=$(median times.sqlite3-restricted)
kp=$(median peaks.krreport)
cf=$(median cpu.krreport-full); sf=$(median cpu.sqlite3-full)
echo "median: krreport $k ms, sqlite3 $s ms: $(ratio "$k" "$s")x (target <= 0.5x)"
echo "restricted: krreport $kr ms, sqlite3 $sr ms: $(ratio "$kr" "$sr")x (target <= 1.0x)"
echo "krreport peak for the reference report: $((kp / 1024)) MB (target <= 300 MB)"
echo "whole table: krcatalogd $cf s cpu, sqlite3 -csv SELECT * $sf s cpu: $(ratio "$cf" "$sf")x (target <= 1.2x)"
echo "peak memory: krcatalogd $(peak_kb "${pids[1]}") KB, krreportd $(peak_kb "${pids[0]}") KB"
