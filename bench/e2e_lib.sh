# Shared by the end-to-end benchmarks (sourced, not run): builds the programs, makes a
# throw-away installation home from the example one, starts and stops its processes.
#   build    the build directory (BUILD_DIR, default build)
#   home     the temporary installation home, removed on exit with the processes started
#   start NAME COMMAND...   starts a process and waits for its "ready" line (scripts/processes.sh)
#   stop_last, stop_all     stops the process started last, or every one started so far
#   at_exit COMMAND...      also runs COMMAND on exit, after the processes are stopped
#   run LABEL COMMAND...    times one command (see below)
#   median FILE, ratio A B  the median of a column of numbers in $home/FILE; A / B, two places
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
source scripts/processes.sh
stop_last() {
  local pid=${pids[-1]}
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  unset 'pids[-1]'
}
exit_hooks=()
at_exit() { exit_hooks+=("$*"); }
on_exit() {
  stop_all
  for hook in "${exit_hooks[@]}"; do eval "$hook" || true; done
  rm -rf "$home"
}
trap on_exit EXIT
peak_kb() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
cpu_s() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

# run LABEL COMMAND...: the wall and CPU time and peak memory of one command, its output kept
# in $home/out. Appends the wall time (ms) to $home/times.LABEL, the peak (KB) to peaks.LABEL
# and the CPU seconds to cpu.LABEL: for a krreport label the provider's (the process started
# last) meanwhile, printed beside, else the command's own.
run() {
  local label=$1; shift
  local t0 t1 p0 cpu
  p0=$(cpu_s "${pids[-1]}")
  t0=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$home/mem" "$@" >"$home/out" 2>"$home/err" || {
    echo "$label failed:" >&2; cat "$home/err" >&2; exit 1; }
  t1=$(date +%s%N)
  local ms=$(( (t1 - t0) / 1000000 ))
  read -r kb user sys < <(tail -n 1 "$home/mem")
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')
  printf '%-26s %7d ms wall %6.2f s cpu %8d KB peak  %d lines\n' "$label" "$ms" "$cpu" "$kb" \
    "$(wc -l <"$home/out")"
  case $label in krreport*)
    cpu=$(awk -v a="$p0" -v b="$(cpu_s "${pids[-1]}")" 'BEGIN {print b - a}')
    printf '%-26s %17s %6.2f s cpu (krcatalogd)\n' "" "" "$cpu" ;;
  esac
  echo "$ms" >>"$home/times.$label"
  echo "$kb" >>"$home/peaks.$label"
  echo "$cpu" >>"$home/cpu.$label"
}
median() { sort -n "$home/$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a/b}'; }

cp -R examples/. "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=bench

format='%jobid,%client,%level,%size,%files%\n'
include='%status = OK AND %size > 1000000'
sql="SELECT jobid, client, level, size, files FROM jobs WHERE status = 'OK' AND size > 1000000"
order="ORDER BY client COLLATE NOCASE ASC, size DESC"
report_args=(--include "$include" --sort '%client %size-' --format "$format" --type csv
  --option autocolumnheaders=No --header '' --footer '' -o - --quiet)
