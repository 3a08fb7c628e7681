#!/usr/bin/env bash
# 7z extraction (the native reader) and RAR extraction (libarchive)
# against the peers: a 7z archive of a test
# tree of SIZE_MIB (default 160; never under the tree's 80 MiB of large
# files), about 64 MiB packed, made with `7zz a` (LZMA2,
# solid), extracted by `arcmorph extract` and by `7zz x` (as it runs, and
# on one thread: ours decodes on one); and the largest RAR of the
# corpus against `bsdtar -x` (Debian's 7-Zip has no RAR codec, and no RAR
# writer exists there to make a bigger one). Wall time and peak memory,
# medians of ROUNDS (5) interleaved runs.
# Usage: bench/rar7z_vs_7zz.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
a=$prog
w=$work
size=${2:-160}
# Many small files and a few large ones.
python3 "$top/bench/make_tree.py" "$w/src" "$size" >/dev/null
(cd "$w/src" && 7zz a -m0=LZMA2 -ms=on "$w/a.7z" . >/dev/null)
rar=$(ls -S "$top"/tests/corpus/rar/libarchive/*.rar | sed -n 1p)
echo "7z: $(du -sm "$w/src" | cut -f1) MiB in $(du -m "$w/a.7z" | cut -f1) MiB;" \
  "RAR: $(basename "$rar") $(du -k "$rar" | cut -f1) KiB"

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "7zz-x" "7zz x -y -o$w/out $w/a.7z"
  bench_once "7zz-x-mmt1" "7zz x -y -mmt1 -o$w/out $w/a.7z"
  bench_once "ours-7z" "$a extract $w/a.7z -d $w/out -q"
  bench_once "bsdtar-rar" "cd $w/out && bsdtar -xf $rar"
  bench_once "ours-rar" "$a extract $rar -d $w/out -q"
done
"$a" extract "$w/a.7z" -d "$w/check" -q && diff -r -q "$w/check" "$w/src" >/dev/null ||
  { echo "7z extraction differs" >&2; exit 1; }

bench_report "$rounds"
echo "extract 7z / 7zz x:        $(bench_ratio ours-7z 7zz-x)"
echo "extract 7z / 7zz x -mmt1:  $(bench_ratio ours-7z 7zz-x-mmt1)"
echo "extract RAR / bsdtar -x:   $(bench_ratio ours-rar bsdtar-rar)"
