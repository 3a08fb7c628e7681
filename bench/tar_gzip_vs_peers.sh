#!/usr/bin/env bash
# Tar+gzip, gzip and compress against GNU tar, gzip and uncompress: wall
# time and peak memory, medians of ROUNDS (5) interleaved runs, on a tree of
# SIZE_MIB (default 128) with many small files and a few large ones, and on
# one 64 MiB file cut from it. Usage:
#   bench/tar_gzip_vs_peers.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
arcmorph=$prog
size=${2:-128}
python3 "$top/bench/make_tree.py" "$work/tree" "$size"
# head stops reading early: the pipe's broken end is expected.
{ find "$work/tree" -type f -size +1M -print0 | sort -z | xargs -0 cat | head -c 64M > "$work/big"; } || true
tar -czf "$work/p.tgz" -C "$work/tree" .
gzip -6 -c "$work/big" > "$work/p.gz"
compress -c "$work/big" > "$work/p.Z"
echo "tree: $(du -sm "$work/tree" | cut -f1) MiB in $(find "$work/tree" -type f | wc -l) files;" \
  "big: 64 MiB, gzip -6 $(du -m "$work/p.gz" | cut -f1) MiB"

once() {  # name, shell command
  rm -rf "$work/out" "$work/a.tgz" "$work/a.gz"
  mkdir "$work/out"
  sync
  /usr/bin/time -f '%e %M' -o "$work/t" sh -c "$2" >/dev/null 2>&1
  read -r t m < "$work/t"
  echo "$1 $t $m" >> "$work/all"
}
rounds=${ROUNDS:-5}
a=$arcmorph
w=$work
for _ in $(seq "$rounds"); do
  once "tar-czf" "tar -czf $w/a.tgz -C $w/tree ."
  once "add-tgz" "cd $w/tree && $a add $w/a.tgz . -r -q"
  once "tar-xzf" "tar -xzf $w/p.tgz -C $w/out"
  once "extract-tgz" "$a extract $w/p.tgz -d $w/out -q --overwrite"
  once "gzip-6" "gzip -6 -c $w/big > $w/a.gz"
  once "add-gz" "cd $w && $a add $w/a.gz big -q"
  once "gzip-d" "gzip -dc $w/p.gz > $w/out/big"
  once "extract-gz" "$a extract $w/p.gz -d $w/out -q --overwrite"
  once "uncompress" "uncompress -c $w/p.Z > $w/out/big"
  once "extract-Z" "$a extract $w/p.Z -d $w/out -q --overwrite"
done
# Sizes of what each side wrote (last round's files are gone: write once more).
sh -c "gzip -6 -c $w/big > $w/size-peer.gz"
(cd "$w" && rm -f a.gz && "$a" add "$w/a.gz" big -q)
peer_size=$(stat -c %s "$w/size-peer.gz")
our_size=$(stat -c %s "$w/a.gz")

sort -k1,1 -k2,2n "$work/all" |
  awk -v n="$rounds" '{c[$1]++} c[$1] == int((n + 1) / 2) {print}' > "$work/results"
awk '{printf "%-12s %8.2f s  %8d KiB peak\n", $1, $2, $3}' "$work/results"
ratio() {  # ours, peer
  awk -v o="$1" -v p="$2" '$1 == o {a = $2} $1 == p {b = $2} END {printf "%.2f", a / b}' \
    "$work/results"
}
echo "add x.tgz / tar -czf:        $(ratio add-tgz tar-czf)"
echo "extract x.tgz / tar -xzf:    $(ratio extract-tgz tar-xzf)"
echo "gzip one file / gzip -6:     $(ratio add-gz gzip-6)  (size $our_size vs $peer_size:" \
  "$(awk -v o="$our_size" -v p="$peer_size" 'BEGIN {printf "%+.2f %%", (o - p) * 100 / p}'))"
echo "gunzip one file / gzip -d:   $(ratio extract-gz gzip-d)"
echo "uncompress / uncompress -c:  $(ratio extract-Z uncompress)"
