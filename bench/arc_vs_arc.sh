#!/usr/bin/env bash
# ARC extraction against arc's own `arc x`: one 64 MiB file cut from a
# SIZE_MIB (default 128) test tree, archived by arc crunched (its default
# for such data) and squashed (`arc aq`); wall time and peak memory,
# medians of ROUNDS (5) interleaved runs. Target: ours / arc x at most 1.0.
# Usage: bench/arc_vs_arc.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
command -v arc >/dev/null || { echo "arc is needed" >&2; exit 2; }
a=$prog
w=$work
size=${2:-128}
python3 "$top/bench/make_tree.py" "$w/tree" "$size" >/dev/null
# Small trees (a quick check of the script) have no big files: take them all.
{ find "$w/tree" -type f -print0 | sort -z | xargs -0 cat 2>/dev/null | head -c 64M > "$w/big"; } || true
rm -rf "$w/tree"
(cd "$w" && arc a crunch.arc big >/dev/null && arc aq squash.arc big >/dev/null)
echo "big: $(du -m "$w/big" | cut -f1) MiB; $(cd "$w" && arc v crunch.arc | grep big);" \
  "$(cd "$w" && arc v squash.arc | grep big)"

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "arc-x-crunch" "cd $w/out && arc x $w/crunch.arc"
  bench_once "ours-crunch" "$a extract $w/crunch.arc -d $w/out -q"
  bench_once "arc-x-squash" "cd $w/out && arc x $w/squash.arc"
  bench_once "ours-squash" "$a extract $w/squash.arc -d $w/out -q"
done
for m in crunch squash; do
  "$a" extract "$w/$m.arc" -d "$w/check" -q --overwrite && cmp -s "$w/check/big" "$w/big" ||
    { echo "$m extraction differs" >&2; exit 1; }
done

bench_report "$rounds"
echo "extract crunched / arc x:  $(bench_ratio ours-crunch arc-x-crunch)"
echo "extract squashed / arc x:  $(bench_ratio ours-squash arc-x-squash)"
