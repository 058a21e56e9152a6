#!/usr/bin/env bash
# The shipped report job units as systemd reads them: `krreport job schedule` writes a job and
# its timer drop-in beside copies of krreport-job@.service and krreport-job@.timer (as installed,
# the program path taken from the build), and `systemd-analyze verify` must load the instance
# silently, drop-in included; one with a calendar systemd cannot read must not be written. Every
# calendar expression the documentation and --help show must pass `systemd-analyze calendar`.
# Neither needs a running systemd.
#
#   schedule_units_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
command -v systemd-analyze >/dev/null ||
  fail "systemd-analyze is missing: install the Debian package systemd (scripts/deps lists it)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$src/examples" "$work/home"
printf '[Directories]\nReports = %s/home/reports\n' "$work" >"$work/home/config/configure.cfg"
export KR_HOME=$work/home KR_TRACE_FILE=none
units=$work/units
mkdir "$units"
sed -e "s|@KR_PREFIX@/@CMAKE_INSTALL_BINDIR@|$bin|" -e "s|@KR_PREFIX@|/usr|g" \
  "$src/packaging/systemd/krreport-job@.service.in" >"$units/krreport-job@.service"
cp "$src/packaging/systemd/krreport-job@.timer" "$units/"
grep -q '@' <(grep -v '^#' "$units/krreport-job@.service" | grep -v 'krreport-job@') &&
  fail "an @VARIABLE@ is left in the service: $(grep '@' "$units/krreport-job@.service")"

verify() {
  SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$@" 2>&1
}
"$bin/krreport" job schedule nightly --template dailyfailures --on-calendar 'Mon..Fri 18:00' \
  --mail-to ops@example.org --unit-dir "$units" >"$work/out" || fail "job schedule: $(cat "$work/out")"
grep -q "OnCalendar=Mon..Fri 18:00" "$units/krreport-job@nightly.timer.d/schedule.conf" ||
  fail "no drop-in with the job's calendar"
grep -q "next: " "$work/out" || fail "job schedule did not say when the job runs next: $(cat "$work/out")"
# Clean means silent: a directive systemd ignores is only a warning, but still a fault.
report=$(verify "$units/krreport-job@nightly.timer" "$units/krreport-job@nightly.service") ||
  fail "systemd-analyze verify: $report"
[ -z "$report" ] || fail "systemd-analyze verify: $report"
# The drop-in is what systemd reads: a broken one is caught by the same check.
printf '[Timer]\nOnCalendar=\nOnCalendar=Mon 99:00\n' >"$units/krreport-job@nightly.timer.d/schedule.conf"
verify "$units/krreport-job@nightly.timer" >/dev/null && fail "verify passed a bad drop-in"

# A calendar systemd refuses: exit 2, nothing written. --print: printed, nothing written.
rc=0
"$bin/krreport" job schedule bad --template dailyfailures --on-calendar 'Mon 99:00' \
  --unit-dir "$units" 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "a bad calendar gave exit $rc, not 2"
printed=$("$bin/krreport" job schedule printed --template dailyfailures --on-calendar daily \
  --unit-dir "$units" --print)
grep -q '^OnCalendar=daily$' <<<"$printed" || fail "--print: no drop-in in: $printed"
grep -q '^template = dailyfailures$' <<<"$printed" || fail "--print: no settings in: $printed"
[ ! -e "$KR_HOME/jobs/bad" ] && [ ! -e "$KR_HOME/jobs/printed" ] &&
  [ ! -e "$units/krreport-job@printed.timer.d" ] || fail "a refused or printed job left files"

# The calendar expressions shown to users.
expressions=$( {
  cat "$src/doc/scheduling.md" "$src/README.md"
  "$bin/krreport" job schedule --help
} | grep -o -e "--on-calendar '[^']*'" -e '| `'"'"'[^'"'"']*'"'"'` |' |
  sed -e "s/^--on-calendar '//" -e "s/^| \`'//" -e "s/'\`\? *|\?$//" | sort -u)
count=$(grep -c . <<<"$expressions")
[ "$count" -ge 5 ] || fail "found only $count calendar expressions in the documentation"
while IFS= read -r e; do
  systemd-analyze calendar -- "$e" >/dev/null 2>&1 || fail "systemd-analyze calendar '$e' failed"
done <<<"$expressions"
echo "units verified; $count calendar expressions checked"
echo "1 passed, 0 failed"
