#!/usr/bin/env bash
# The LHA coder against zlib level 6 (throughput) and jlha (sizes of -lh5-
# and -lh6- data), and our -lh5- decoding (CRC included, no file written),
# on one 64 MiB file cut from a SIZE_MIB (default 128) test tree. Whole-
# program extraction against lha x is bench/lha_extract_vs_lha.sh.
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

# jlha at -lh5- and -lh6- on the same data: sizes of the packed data.
(cd "$work" && jlha ao5 j5.lzh big >/dev/null 2>&1 && jlha ao6 j6.lzh big >/dev/null 2>&1)
packed() {  # archive, method id: the packed size lha v shows for it
  lha v "$1" | awk -v m="$2" '{for (i = 4; i <= NF; i++) if ($i == m) print $(i - 3)}'
}
ours_of() {  # benchmark name: its packed counter
  awk -v n="$1" '$0 ~ n {for (i = 1; i <= NF; i++) if ($i == "packed") print $(i + 1)}' \
    "$work/bench.txt"
}
for m in 5 6; do
  ours=$(ours_of "BM_LhaCompress/$m")
  theirs=$(packed "$work/j$m.lzh" "-lh$m-")
  echo "-lh$m- size: ours $ours, jlha $theirs ($(awk -v o="$ours" -v j="$theirs" \
    'BEGIN {printf "%+.2f %%", (o - j) * 100 / j}'))"
done
# Extraction against lha x: bench/lha_extract_vs_lha.sh.
