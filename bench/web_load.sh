#!/usr/bin/env bash
# Load on the web front end: N browsers' worth (default 20) of concurrent report requests against
# krweb over a catalog of JOBS jobs (default 1,000,000), all on loopback. Each request is a login's
# POST /run of the "dailyfailures" template (the jobs table restricted to the last day, so the
# provider reads its range from the index; MIX=1 makes every other one the "Recent jobs" class,
# ten days of jobs); every one must be accepted (run or queued) or refused
# with the busy message, and every accepted one must end done. Prints the server's resident
# memory at the start, its peak, and after the runs, and the peak of the server with all its
# krreport children together, sampled every 100 ms.
#   bench/web_load.sh [BUILD_DIR]      (N, JOBS, MAX_RUNNING, MAX_QUEUED from the environment)
# The documented limit: krweb itself stays under 64 MiB whatever the load (reports run in
# children); server and children together stay under MAX_RUNNING times one report's peak plus
# the server's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
n=${N:-20}
jobs=${JOBS:-1000000}
home=$(mktemp -d "${TMPDIR:-/tmp}/krweb-load.XXXXXX")
source scripts/processes.sh
on_exit() {
  local rc=$?
  stop_all
  rm -rf "$home"
  exit "$rc"
}
trap on_exit EXIT
# 0 for a process that is gone or a zombie (which has no memory lines).
rss_kib() { awk '/^VmRSS/ {v = $2} END {print v + 0}' "/proc/$1/status" 2>/dev/null || echo 0; }
hwm_kib() { awk '/^VmHWM/ {v = $2} END {print v + 0}' "/proc/$1/status" 2>/dev/null || echo 0; }
tree_kib() {  # the server and its children
  local total
  total=$(rss_kib "$1")
  for c in $(cat "/proc/$1/task/"*/children 2>/dev/null); do total=$((total + $(rss_kib "$c"))); done
  echo "$total"
}

cp -R examples/. "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=webload KR_TRACE_FILE=none
echo "== catalog of $jobs jobs"
"$build/krcatalogd" generate --jobs "$jobs" "$home/catalog.db" >/dev/null
start krreportd "$build/krreportd"
start krcatalogd "$build/krcatalogd" serve --catalog "$home/catalog.db"
echo loadpw | "$build/krweb" adduser load >/dev/null
start krweb "$build/krweb" serve --port 0 --max-running "${MAX_RUNNING:-4}" \
  --max-queued "${MAX_QUEUED:-16}" --max-failures 1000
web=${pids[-1]}
url=$(sed -n 's/^listening on //p' "$home/krweb.log")
jar=$home/cookies
token=$(curl -s -c "$jar" "${url}login" | sed -n 's/.*name="login" value="\([0-9a-f]*\)".*/\1/p')
curl -s -b "$jar" -c "$jar" -o /dev/null -d "login=$token&user=load&password=loadpw" "${url}login"
csrf=$(curl -s -b "$jar" "$url" | sed -n 's/.*name="csrf" value="\([0-9a-f]*\)".*/\1/p' | head -1)
# curl keeps Secure cookies only for https; the session goes as a header instead.
session=$(awk '$6 == "krweb_session" {print $7}' "$jar")
[ -n "$session" ] && [ -n "$csrf" ] || { echo "login failed" >&2; exit 1; }
start_rss=$(rss_kib "$web")
echo "== $n concurrent requests"
t0=$(date +%s.%N)
for i in $(seq "$n"); do
  if [ "${MIX:-0}" = 1 ] && [ $((i % 2)) = 0 ]; then form="class=Recent+jobs&type=text"; else form="template=dailyfailures"; fi
  curl -s -o /dev/null -w '%{http_code} %{redirect_url}\n' -H "Cookie: krweb_session=$session" \
    -d "csrf=$csrf&$form" "${url}run" >"$home/req.$i" &
done
peak_tree=0
wait_requests() { for i in $(seq "$n"); do [ -s "$home/req.$i" ] || return 1; done; }
until wait_requests; do sleep 0.05; done
accepted=$(awk '$1 == 303' "$home"/req.* | wc -l)
busy=$(awk '$1 == 503' "$home"/req.* | wc -l)
runs=$(awk '$1 == 303 {sub(".*/runs/", "", $2); print $2}' "$home"/req.*)
deadline=$((SECONDS + ${LOAD_SECONDS:-600}))
while :; do
  t=$(tree_kib "$web"); [ "$t" -gt "$peak_tree" ] && peak_tree=$t
  left=0
  for r in $runs; do
    state=$(curl -s -H "Cookie: krweb_session=$session" "${url}api/runs/$r" | sed 's/.*"state":"\([a-z]*\)".*/\1/')
    case $state in queued|running) left=$((left + 1)) ;; esac
  done
  [ "$left" = 0 ] && break
  if [ $SECONDS -gt $deadline ]; then
    echo "$left runs still going after ${LOAD_SECONDS:-600} s; krweb peak $(( $(hwm_kib "$web") / 1024 )) MiB," \
      "with children $((peak_tree / 1024)) MiB" >&2
    exit 1
  fi
  sleep 0.1
done
t1=$(date +%s.%N)
done_count=0
for r in $runs; do
  curl -s -H "Cookie: krweb_session=$session" "${url}api/runs/$r" | grep -q '"state":"done"' && done_count=$((done_count + 1))
done
sleep 1
echo "requests: $n; accepted $accepted (run or queued), refused busy $busy; done $done_count"
echo "wall time for all: $(echo "$t1 - $t0" | bc) s (shared, busy machine: wall time is noisy)"
echo "krweb resident: start $((start_rss / 1024)) MiB, peak $(( $(hwm_kib "$web") / 1024 )) MiB, after $(( $(rss_kib "$web") / 1024 )) MiB"
echo "krweb with its krreport children, peak: $((peak_tree / 1024)) MiB"
[ "$done_count" = "$accepted" ] && [ $((accepted + busy)) = "$n" ]
