#!/usr/bin/env bash
# Every benchmark program of two builds, alternated in one run: for each program both builds have,
# runs it from the old build, then the new, ROUNDS times, and prints each benchmark's best real
# time from either build and the ratio new/old (below 1: the new build is faster). A change that
# must leave speed as it was is checked against the build of the commit before it:
#
#   git worktree add /tmp/before COMMIT
#   cmake -S /tmp/before -B /tmp/before/build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKR_BENCH=ON
#   cmake --build /tmp/before/build
#   bench/compare_builds.sh /tmp/before/build build [ROUNDS]
#
# Best runs are compared because on a shared machine the best run is the least disturbed one;
# alternating keeps a burst of load elsewhere from falling on one build only. ROUNDS defaults
# to 2. Only programs built with Google Benchmark are run (report_stages has its own script);
# PROGRAMS="sort_bench output_bench" runs only those.
set -euo pipefail
old=${1:?usage: compare_builds.sh OLD_BUILD NEW_BUILD [ROUNDS]}
new=${2:?usage: compare_builds.sh OLD_BUILD NEW_BUILD [ROUNDS]}
rounds=${3:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
home=$work/home
mkdir -p "$home/config" "$home/reports"
printf '[Directories]\nReports = "%s"\n' "$home/reports" >"$home/config/configure.cfg"

for program in "$new"/*_bench; do
  name=$(basename "$program")
  [ -z "${PROGRAMS:-}" ] || [[ " $PROGRAMS " == *" $name "* ]] || continue
  [ -x "$old/$name" ] || { echo "$name: not in $old, skipped"; continue; }
  for r in $(seq "$rounds"); do
    for side in old new; do
      dir=$old; [ "$side" = new ] && dir=$new
      KR_HOME=$home timeout 600 "$dir/$name" --benchmark_out="$work/$name.$side.$r.json" \
        --benchmark_out_format=json >/dev/null 2>&1 || echo "$name ($side, round $r) failed" >&2
    done
  done
done

python3 - "$work" <<'EOF'
import glob, json, os, sys
best = {}  # (program, benchmark) -> {side: best real time in ns}
scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    program, side = os.path.basename(path).split(".")[:2]
    try:
        runs = json.load(open(path)).get("benchmarks", [])
    except (OSError, ValueError):
        continue
    for b in runs:
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        t = b["real_time"] * scale.get(b.get("time_unit", "ns"), 1)
        name = b.get("run_name", b["name"])
        slot = best.setdefault((program, name), {})
        slot[side] = min(slot.get(side, t), t)
print(f"{'benchmark':<72} {'old':>12} {'new':>12} {'new/old':>8}")
worse = 0
for (program, name), sides in sorted(best.items()):
    if "old" not in sides or "new" not in sides:
        continue
    ratio = sides["new"] / sides["old"]
    worse += ratio > 1.10
    label = f"{program} {name}"[:72]
    print(f"{label:<72} {sides['old'] / 1e6:10.3f}ms {sides['new'] / 1e6:10.3f}ms {ratio:8.2f}")
print(f"{worse} benchmark(s) more than 10% slower in the new build")
EOF
