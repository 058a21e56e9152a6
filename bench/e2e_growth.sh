#!/usr/bin/env bash
# How the reference report grows with the catalog: 1, 2, 4 and 8 million jobs (SIZES, in
# millions), each catalog generated afresh and served by a krcatalogd of its own. Prints each
# size's wall time and every process's peak memory, and each against the first size: time and
# memory should grow linearly (8x the jobs within 8.5x the time and memory).
#   bench/e2e_growth.sh             SIZES="1 2 4 8" by default; needs about 1 GB of disk per
#                                   million jobs while it runs
sizes=${SIZES:-1 2 4 8}
source "$(dirname "$0")/e2e_lib.sh"
now=$(date +%s)
start krreportd "$build/krreportd"

printf '%-10s %9s %10s %14s %16s %10s %10s\n' jobs kept "wall ms" "krreport MB" "krcatalogd MB" \
  "time x" "memory x"
first_ms=""
first_kb=""
for m in $sizes; do
  jobs=$((m * 1000000))
  db=$home/catalog-$m.db
  "$build/krcatalogd" generate --jobs "$jobs" --now "$now" "$db" >/dev/null
  start "krcatalogd-$m" "$build/krcatalogd" serve --catalog "$db"
  catalogd=${pids[-1]}
  t0=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$home/mem" "$build/krreport" run --class Jobs "${report_args[@]}" \
    >"$home/out" 2>"$home/err" || { echo "the report of $jobs jobs failed:" >&2; cat "$home/err" >&2; exit 1; }
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  kb=$(tail -n 1 "$home/mem")
  catalog_kb=$(peak_kb "$catalogd")
  stop_last
  rm -f "$db"
  first_ms=${first_ms:-$ms}
  first_kb=${first_kb:-$kb}
  printf '%-10s %9s %10s %14s %16s %10s %10s\n' "$jobs" "$(wc -l <"$home/out")" "$ms" \
    "$((kb / 1024))" "$((catalog_kb / 1024))" \
    "$(awk -v a="$ms" -v b="$first_ms" 'BEGIN {printf "%.2f", a / b}')" \
    "$(awk -v a="$kb" -v b="$first_kb" 'BEGIN {printf "%.2f", a / b}')"
done
echo "target: the last size within $(awk -v s="$sizes" 'BEGIN {n = split(s, a, " "); printf "%.1f", a[n] / a[1] * 8.5 / 8}')x the first in time and memory"
