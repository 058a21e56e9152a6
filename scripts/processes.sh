# Starting and stopping the programs a test or benchmark script runs (sourced, not run). Each
# program logs to $home/NAME.log, which the caller's $home must name; a program is up once its
# log has the line "ready".
#   start NAME COMMAND...   starts COMMAND in the background and waits up to 30 s for "ready";
#                           on failure says so, with the log's last lines, and returns 1
#   stop_all                stops every program started, and waits for each
pids=()
start() {
  local name=$1
  shift
  "$@" >"$home/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do
    grep -q '^ready$' "$home/$name.log" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "$name did not start" >&2
  tail -n 20 "$home/$name.log" >&2
  return 1
}
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
