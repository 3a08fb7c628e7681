#!/usr/bin/env bash
# ARJ extraction against arj's own `arj x`: one 64 MiB file cut from a
# SIZE_MIB (default 128) test tree, archived by arj with method 1 (the
# default) and method 4 (fastest); wall time and peak memory, medians of
# ROUNDS (5) interleaved runs. Target: ours / arj x at most 1.0.
# Usage: bench/arj_vs_arj.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
command -v arj >/dev/null || { echo "arj is needed" >&2; exit 2; }
a=$prog
w=$work
size=${2:-128}
python3 "$top/bench/make_tree.py" "$w/tree" "$size" >/dev/null
# Small trees (a quick check of the script) have no big files: take them all.
{ find "$w/tree" -type f -print0 | sort -z | xargs -0 cat 2>/dev/null | head -c 64M > "$w/big"; } || true
rm -rf "$w/tree"
(cd "$w" && arj a -y -m1 m1.arj big >/dev/null && arj a -y -m4 m4.arj big >/dev/null)
echo "big: $(du -m "$w/big" | cut -f1) MiB; method 1 $(du -m "$w/m1.arj" | cut -f1) MiB," \
  "method 4 $(du -m "$w/m4.arj" | cut -f1) MiB"

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "arj-x-m1" "cd $w/out && arj x -y $w/m1.arj"
  bench_once "ours-m1" "$a extract $w/m1.arj -d $w/out -q"
  bench_once "arj-x-m4" "cd $w/out && arj x -y $w/m4.arj"
  bench_once "ours-m4" "$a extract $w/m4.arj -d $w/out -q"
done
for m in m1 m4; do
  "$a" extract "$w/$m.arj" -d "$w/check" -q --overwrite && cmp -s "$w/check/big" "$w/big" ||
    { echo "$m extraction differs" >&2; exit 1; }
done

bench_report "$rounds"
echo "extract method 1 / arj x:  $(bench_ratio ours-m1 arj-x-m1)"
echo "extract method 4 / arj x:  $(bench_ratio ours-m4 arj-x-m4)"
