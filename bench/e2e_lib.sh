# Shared by the end-to-end benchmarks (sourced, not run): builds the programs, makes a
# throw-away installation home from the example one, starts and stops its processes.
#   build    the build directory (BUILD_DIR, default build)
#   home     the temporary installation home, removed on exit with the processes started
#   start NAME COMMAND...   starts a process and waits for its "ready" line
#   stop_all                stops every process started so far
#   peak_kb PID, cpu_s PID  a running process's peak memory (KB) and CPU seconds so far
# The reference report: keep status OK and size over 1,000,000; sort by client (case-blind)
# ascending, then size descending; CSV of jobid, client, level, size, files.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps
command -v /usr/bin/time >/dev/null || {
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y -qq --no-install-recommends time >/dev/null
}
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target krreportd krcatalogd krreport >/dev/null

home=$(mktemp -d "${TMPDIR:-/tmp}/kre2e.XXXXXX")
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$home"' EXIT
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
cpu_s() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

cp -R examples/. "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=bench

format='%jobid,%client,%level,%size,%files%\n'
include='%status = OK AND %size > 1000000'
sql="SELECT jobid, client, level, size, files FROM jobs WHERE status = 'OK' AND size > 1000000"
order="ORDER BY client COLLATE NOCASE ASC, size DESC"
report_args=(--include "$include" --sort '%client %size-' --format "$format" --type csv
  --option autocolumnheaders=No --header '' --footer '' -o - --quiet)
