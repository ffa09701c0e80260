#!/usr/bin/env bash
# Mutation check: applies each fault of the list files one at a time to a scratch copy of the tree,
# rebuilds incrementally and runs the suite with --stop-on-failure (the fault's own label first, so
# a killed fault costs seconds; a fault that survives it meets the whole suite). Prints each fault
# as killed or survived and "killed K of N".
#   scripts/mutate.sh [LIST...]            default: scripts/mutants-*.txt
#   MUTATE_DIR=/tmp/x MUTATE_ONLY=3,7 scripts/mutate.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK=${MUTATE_DIR:-/tmp/qv-mutate}
JOBS=${JOBS:-2}
LISTS=("$@")
[ ${#LISTS[@]} -gt 0 ] || LISTS=(scripts/mutants-*.txt)

mkdir -p "$WORK"
# The scratch copy is brought up to date by content: a changed file is written anew (so it is newer
# than its objects, whatever its time in the tree), an unchanged one keeps its time, so the scratch
# build stays incremental across runs and never misses a change.
python3 - "$ROOT" "$WORK/src" <<'EOF'
import filecmp, os, shutil, sys
root, dst = sys.argv[1:3]
keep = set()
for d, dirs, files in os.walk(root):
    dirs[:] = [x for x in dirs if not (d == root and (x.startswith("build") or x == ".git"))]
    for f in files:
        rel = os.path.relpath(os.path.join(d, f), root)
        keep.add(rel)
        src, out = os.path.join(root, rel), os.path.join(dst, rel)
        if not os.path.isfile(out) or not filecmp.cmp(src, out, shallow=False):
            os.makedirs(os.path.dirname(out), exist_ok=True)
            shutil.copyfile(src, out)
            shutil.copymode(src, out)
for d, dirs, files in os.walk(dst):
    for f in files:
        if os.path.relpath(os.path.join(d, f), dst) not in keep:
            os.remove(os.path.join(d, f))
EOF
cmake -S "$WORK/src" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BENCH=OFF >/dev/null
echo "baseline build ..."
cmake --build "$WORK/build" -j "$JOBS" >"$WORK/build.log" 2>&1 || { tail -30 "$WORK/build.log"; exit 1; }
# A suite that already fails would count every fault as killed.
echo "baseline suite ..."
(cd "$WORK/build" && ctest -j "$JOBS" --timeout 300 >"$WORK/baseline.log" 2>&1) ||
  { grep -E "Failed|\*\*\*" "$WORK/baseline.log" | head -20; echo "the suite fails without any fault"; exit 1; }

# One fault per line of a tab-separated table: file, find, replace, label, seen.
python3 - "${LISTS[@]}" >"$WORK/faults.tsv" <<'EOF'
import sys
for path in sys.argv[1:]:
    block = {}
    def flush():
        if block:
            for k in ("file", "find", "replace", "label", "seen"):
                if k not in block:
                    sys.exit(f"{path}: fault without '{k}': {block}")
            print("\t".join(block[k] for k in ("file", "find", "replace", "label", "seen")))
        block.clear()
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if not line.strip():
            flush(); continue
        if line.startswith("#"):
            continue
        key, sep, value = line.partition(": ")
        if not sep:
            sys.exit(f"{path}: not a 'key: value' line: {line!r}")
        block[key] = value
    flush()
EOF

apply() {  # file find replace -> 0 when the snippet occurred exactly once and was replaced
  python3 - "$@" <<'EOF'
import sys
path, find, repl = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
n = text.count(find)
if n != 1:
    sys.exit(f"snippet occurs {n} times in {path}: {find!r}")
open(path, "w", encoding="utf-8").write(text.replace(find, repl))
EOF
}

killed=0; total=0; survivors=()
i=0
while IFS=$'\t' read -r -u 3 file find repl label seen; do
  i=$((i + 1))
  if [ -n "${MUTATE_ONLY:-}" ] && ! [[ ",$MUTATE_ONLY," == *",$i,"* ]]; then continue; fi
  total=$((total + 1))
  src="$WORK/src/$file"
  cp "$src" "$WORK/orig"
  trap 'cp "$WORK/orig" "$src"; touch "$src"' EXIT
  if ! apply "$src" "$find" "$repl"; then
    echo "fault $i: BAD ENTRY ($file)"; survivors+=("$i (bad entry)"); continue
  fi
  verdict=survived
  if ! cmake --build "$WORK/build" -j "$JOBS" >"$WORK/fault-$i.log" 2>&1; then
    verdict="does not compile"
  elif ! (cd "$WORK/build" && ctest -j "$JOBS" --timeout 300 --stop-on-failure -L "^$label\$" >>"$WORK/fault-$i.log" 2>&1); then
    verdict=killed
  elif ! (cd "$WORK/build" && ctest -j "$JOBS" --timeout 300 --stop-on-failure >>"$WORK/fault-$i.log" 2>&1); then
    verdict=killed
  fi
  cp "$WORK/orig" "$src"
  touch "$src"
  trap - EXIT
  if [ "$verdict" = killed ]; then killed=$((killed + 1)); else survivors+=("$i ($verdict)"); fi
  by=""
  [ "$verdict" = killed ] && by=" by $(grep -m1 -E 'Test +#[0-9]+: .*\*\*\*(Failed|Timeout|Exception)' "$WORK/fault-$i.log" | sed -E 's/.*#[0-9]+: ([^ ]+).*/\1/')"
  echo "fault $i: $verdict$by  $file: $seen"
done 3<"$WORK/faults.tsv"
# Put the tree back as it was for the next run's incremental build.
cmake --build "$WORK/build" -j "$JOBS" >/dev/null 2>&1 || true
echo
[ ${#survivors[@]} -eq 0 ] || echo "not killed: ${survivors[*]}"
echo "killed $killed of $total"
