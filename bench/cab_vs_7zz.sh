#!/usr/bin/env bash
# Cabinet extraction: a SIZE_MIB (default 128) test tree packed by
# `gcab -c -z` (MSZIP, about 68 MiB), extracted by `arcmorph extract` and by
# `7zz x`; wall time and peak memory, medians of ROUNDS (5) interleaved
# runs. The aim is a ratio of at most 1.5.
# Usage: bench/cab_vs_7zz.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
a=$prog
w=$work
python3 "$top/bench/make_tree.py" "$w/tree" "${2:-128}" >/dev/null
(cd "$w/tree" && find . -type f | sed 's|^\./||' | sort > "$w/list" &&
  xargs -a "$w/list" -d '\n' gcab -c -z "$w/t.cab")
echo "tree: $(du -sm "$w/tree" | cut -f1) MiB in $(wc -l < "$w/list") files;" \
  "cabinet $(du -m "$w/t.cab" | cut -f1) MiB"

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "7zz-x" "7zz x -y -o$w/out $w/t.cab"
  bench_once "ours" "$a extract $w/t.cab -d $w/out -q"
done
rm -rf "$w/check"
"$a" extract "$w/t.cab" -d "$w/check" -q && diff -r -q "$w/check" "$w/tree" >/dev/null ||
  { echo "extraction differs from the tree" >&2; exit 1; }

bench_report "$rounds"
echo "extract / 7zz x:  $(bench_ratio ours 7zz-x)"
