#!/usr/bin/env bash
# Compression speed, size and memory: arcmorph add against zip and 7-Zip on
# one tree (default 200 MiB of files). Usage:
#   bench/add_vs_peers.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
arcmorph=$prog
size=${2:-200}
python3 "$top/bench/make_tree.py" "$work/tree" "$size"
echo "tree: $(du -sm "$work/tree" | cut -f1) MiB"

run() {  # name, archive, command...
  local name=$1 archive=$2; shift 2
  local best_t=999999 best_m=0
  for _ in 1 2 3; do
    rm -f "$archive"
    sync
    /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
    read -r t m < "$work/t"
    if awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; best_m=$m; fi
  done
  local bytes
  bytes=$(stat -c %s "$archive")
  printf '%-10s %8.2f s  %12d bytes  %8d KiB peak\n' "$name" "$best_t" "$bytes" "$best_m"
  echo "$name $best_t $bytes $best_m" >> "$work/results"
}

cd "$work/tree"
run zip "$work/zip.zip" zip -r -6 -q "$work/zip.zip" .
run 7zz "$work/7z.zip" 7zz a -tzip -mx=5 -bd "$work/7z.zip" .
run arcmorph "$work/am.zip" "$arcmorph" add -q --normal -r "$work/am.zip" .
cd "$work"
rm -rf out && mkdir out && unzip -q am.zip -d out
diff -r tree out >/dev/null && echo "arcmorph archive extracts to the source tree"
awk '/^zip /{zt=$2; zs=$3} /^arcmorph /{at=$2; as=$3; am=$4}
     END{printf "arcmorph / zip: wall time %.2f, size %.4f, peak %.1f MiB\n", at/zt, as/zs, am/1024}' \
  "$work/results"
