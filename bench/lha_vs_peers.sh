#!/usr/bin/env bash
# The LHA coder against zlib level 6 (throughput) and jlha (size of -lh5-
# data), and our -lh5- decoding (CRC included) against `lha x` of the same
# data, on one 64 MiB file cut from a SIZE_MIB (default 128) test tree.
# Usage: bench/lha_vs_peers.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build-bench}" && pwd)
bin=$build/bench/lha_bench
[ -x "$bin" ] || { echo "build lha_bench first (Release): $bin" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/bench/make_tree.py" "$work/tree" "${2:-128}"
{ find "$work/tree" -type f -size +1M -print0 | sort -z | xargs -0 cat | head -c 64M > "$work/big"; } || true
rm -rf "$work/tree"

QMX_LHA_BENCH_INPUT=$work/big QMX_LHA_BENCH_ARCHIVE=$work/ours.lzh "$bin" | tee "$work/bench.txt"

(cd "$work" && jlha ao5 j5.lzh big >/dev/null 2>&1)
jlha_data=$(lha v "$work/j5.lzh" | awk '{for (i = 4; i <= NF; i++) if ($i == "-lh5-") print $(i - 3)}')
ours=$(awk '/BM_LhaCompress\/5/ {for (i = 1; i <= NF; i++) if ($i == "packed") print $(i + 1)}' \
  "$work/bench.txt")
echo "-lh5- size: ours $ours, jlha $jlha_data ($(awk -v o="$ours" -v j="$jlha_data" \
  'BEGIN {printf "%+.2f %%", (o - j) * 100 / j}'))"

mkdir "$work/x"
best=
for _ in 1 2 3; do
  /usr/bin/time -f %e -o "$work/t" sh -c "cd '$work/x' && rm -f big && lha xq ../ours.lzh"
  t=$(cat "$work/t")
  if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN {exit !(a < b)}'; then best=$t; fi
done
cmp "$work/x/big" "$work/big" && echo "lha x of our -lh5- data: ${best} s (best of 3)"
