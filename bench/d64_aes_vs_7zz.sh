#!/usr/bin/env bash
# Deflate64 and AES-256 extraction: arcmorph against 7-Zip on archives 7-Zip
# wrote from one tree (default 100 MiB). Usage:
#   bench/d64_aes_vs_7zz.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
arcmorph=$prog
size=${2:-100}
python3 "$top/bench/make_tree.py" "$work/tree" "$size" >/dev/null
(cd "$work/tree" && 7zz a -tzip -mm=Deflate64 "$work/d64.zip" . >/dev/null &&
  7zz a -tzip -mem=AES256 -pSECRET "$work/aes.zip" . >/dev/null)

best() {  # command... -> best wall time of 3
  local b=999999
  for _ in 1 2 3; do
    rm -rf "$work/out"; mkdir "$work/out"
    /usr/bin/time -f '%e' -o "$work/t" "$@" >/dev/null 2>&1
    b=$(awk -v a="$b" -v t="$(cat "$work/t")" 'BEGIN{print (t < a) ? t : a}')
  done
  echo "$b"
}

for kind in d64 aes; do
  pw7=() pwa=()
  [ "$kind" = aes ] && pw7=(-pSECRET) && pwa=(-p SECRET)
  s=$(best 7zz x -y -bd "${pw7[@]}" "-o$work/out" "$work/$kind.zip")
  a=$(best "$arcmorph" extract -q --overwrite "${pwa[@]}" -d "$work/out" "$work/$kind.zip")
  diff -r "$work/tree" "$work/out" >/dev/null || echo "$kind: arcmorph output differs!"
  awk -v k="$kind" -v s="$s" -v a="$a" -v m="$size" \
    'BEGIN{printf "%-4s 7zz %6.2f s (%6.1f MiB/s)  arcmorph %6.2f s (%6.1f MiB/s)  throughput ratio %.2f\n", k, s, m/s, a, m/a, s/a}'
done
