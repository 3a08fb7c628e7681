#!/usr/bin/env bash
# Extraction speed and memory: arcmorph against unzip and 7-Zip on one
# deflated archive (default 200 MiB of files), medians of ROUNDS (5)
# interleaved runs. Usage:
#   bench/extract_vs_peers.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
arcmorph=$prog
size=${2:-200}
python3 "$top/bench/make_tree.py" "$work/tree" "$size"
(cd "$work/tree" && zip -q -r -6 "$work/a.zip" .)
echo "archive: $(du -m "$work/a.zip" | cut -f1) MiB"

# Rounds interleave the tools, so page-cache and writeback effects of one
# tool's output do not all land on the next tool's runs.
once() {  # name, command...
  local name=$1; shift
  rm -rf "$work/out"; mkdir "$work/out"
  sync
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
  read -r t m < "$work/t"
  echo "$name $t $m" >> "$work/all"
}
rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  once unzip unzip -q -o "$work/a.zip" -d "$work/out"
  once 7zz 7zz x -y -bd "-o$work/out" "$work/a.zip"
  once arcmorph "$arcmorph" extract "$work/a.zip" -d "$work/out" -q --overwrite
done
# Median wall time of each tool, with the peak memory of that run.
sort -k1,1 -k2,2n "$work/all" |
  awk -v n="$rounds" '{c[$1]++} c[$1] == int((n + 1) / 2) {print}' > "$work/results"
awk '{printf "%-10s %8.2f s  %8d KiB peak\n", $1, $2, $3}' "$work/results"
diff -r "$work/tree" "$work/out" >/dev/null && echo "arcmorph output identical to the source tree"
awk '/^unzip/{u=$2} /^arcmorph/{a=$2} END{printf "arcmorph / unzip wall time: %.2f\n", a/u}' "$work/results"
