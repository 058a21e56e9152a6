#!/usr/bin/env bash
# The web front end in headless Chromium: lays a copy of the example installation with a catalog,
# starts krreportd, krcatalogd and krweb on loopback, installs puppeteer-core (no browser
# download) into a cache directory and runs browser.mjs. Everything it starts is stopped on every
# path; the whole run is bounded by the ctest time-out and by `timeout` here.
#   browser_test.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
shots=${3:-}
# A version that runs on Debian 12's Node.js 18, in a directory of its own per version.
puppeteer_version=24.10.0
npm_dir=${KR_NPM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/krreports-npm}/puppeteer-core-$puppeteer_version

if [ ! -d "$npm_dir/node_modules/puppeteer-core" ]; then
  mkdir -p "$npm_dir"
  PUPPETEER_SKIP_DOWNLOAD=1 timeout 300 npm install --silent --no-audit --no-fund \
    --prefix "$npm_dir" "puppeteer-core@$puppeteer_version" >/dev/null
fi

home=$(mktemp -d "${TMPDIR:-/tmp}/krweb-browser.XXXXXX")
source "$src/scripts/processes.sh"
on_exit() {
  local rc=$?
  stop_all
  if [ "$rc" -ne 0 ]; then tail -n 20 "$home"/*.log >&2 2>/dev/null || true; fi
  rm -rf "$home"
  exit "$rc"
}
trap on_exit EXIT

cp -R "$src/examples/." "$home/"
sed -i "s|^Reports = .*|Reports = $home/reports|" "$home/config/configure.cfg"
export KR_HOME=$home KR_MACHINE=webtest KR_TRACE_FILE=none
# Enough jobs that a whole-table report runs long enough to be cancelled.
"$build/krcatalogd" generate --jobs "${WEB_JOBS:-100000}" --seed 5 "$home/catalog.db" >/dev/null
start krreportd "$build/krreportd"
start krcatalogd "$build/krcatalogd" serve --catalog "$home/catalog.db"
# A report job, for the jobs page.
"$build/krreport" job schedule nightly --template dailyfailures --on-calendar '*-*-* 07:30' \
  --mail-to ops@example.org --unit-dir "$home/units" >/dev/null
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
echo "$password" | "$build/krweb" adduser admin >/dev/null
start krweb "$build/krweb" serve --port 0
url=$(sed -n 's/^listening on //p' "$home/krweb.log")

[ -n "$shots" ] && mkdir -p "$shots"
NPM_DIR="$npm_dir/node_modules" WEB_URL="$url" WEB_PASSWORD="$password" SHOT_DIR="$shots" \
  KRREPORT="$build/krreport" timeout 280 node "$src/tools/krweb/tests/browser.mjs"
