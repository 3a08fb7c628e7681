#!/usr/bin/env bash
# Whole programs on one 64 MiB file cut from a SIZE_MIB (default 128) test
# tree: LHA extraction against lhasa's `lha x`, and LHA (-lh5-, -lh6-) and
# BH writing against zlib level 6 (pigz on one thread, which runs zlib);
# wall time and peak memory, medians of ROUNDS (5) interleaved runs.
# Usage: bench/lha_extract_vs_lha.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
a=$prog
w=$work
python3 "$top/bench/make_tree.py" "$w/tree" "${2:-128}" >/dev/null
{ find "$w/tree" -type f -size +1M -print0 | sort -z | xargs -0 cat | head -c 64M > "$w/big"; } || true
rm -rf "$w/tree"
(cd "$w" && "$a" add l5.lzh big --lh5 -q && "$a" add l6.lzh big -q)
echo "big: 64 MiB; -lh5- $(du -m "$w/l5.lzh" | cut -f1) MiB, -lh6- $(du -m "$w/l6.lzh" | cut -f1) MiB"

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "lha-x-lh5" "cd $w/out && lha xq $w/l5.lzh"
  bench_once "ours-lh5" "$a extract $w/l5.lzh -d $w/out -q"
  bench_once "lha-x-lh6" "cd $w/out && lha xq $w/l6.lzh"
  bench_once "ours-lh6" "$a extract $w/l6.lzh -d $w/out -q"
  bench_once "zlib-6" "pigz -6 -p 1 -c $w/big > $w/out/big.gz"
  bench_once "add-lh5" "cd $w && $a add $w/out/n.lzh big --lh5 -q"
  bench_once "add-lh6" "cd $w && $a add $w/out/n.lzh big -q"
  bench_once "add-bh-fuse" "cd $w && $a add $w/out/n.bh big --fuse -q"
done
"$a" extract "$w/l6.lzh" -d "$w/check" -q && cmp -s "$w/check/big" "$w/big" ||
  { echo "-lh6- extraction differs" >&2; exit 1; }

bench_report "$rounds"
echo "extract -lh5- / lha x:  $(bench_ratio ours-lh5 lha-x-lh5)"
echo "extract -lh6- / lha x:  $(bench_ratio ours-lh6 lha-x-lh6)"
# Throughput is the inverse of time.
echo "coder throughput / zlib -6: -lh5- $(bench_ratio zlib-6 add-lh5)," \
  "-lh6- $(bench_ratio zlib-6 add-lh6), BH fused $(bench_ratio zlib-6 add-bh-fuse)"
