#!/usr/bin/env bash
# Decoding encoded text against uudecode and base64 -d: wall time and peak
# memory, medians of ROUNDS (5) interleaved runs, on SIZE_MIB (default 64)
# of data encoded by uuencode and by uuencode -m (Base64). Usage:
#   bench/uu_vs_peers.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" arcmorph
a=$prog
w=$work
size=${2:-64}
head -c "${size}M" /dev/urandom > "$w/data"
(cd "$w" && uuencode data data > d.uue && uuencode -m data data > d.b64 && base64 data > raw.b64)
echo "data: $size MiB; uuencoded $(du -m "$w/d.uue" | cut -f1) MiB, Base64 $(du -m "$w/d.b64" | cut -f1) MiB"

once() {  # name, shell command
  rm -rf "$w/out"
  mkdir "$w/out"
  sync
  /usr/bin/time -f '%e %M' -o "$w/t" sh -c "$2" >/dev/null 2>&1
  read -r t m < "$w/t"
  echo "$1 $t $m" >> "$w/all"
}
rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  once "uudecode" "uudecode -o $w/out/data $w/d.uue"
  once "ours-uu" "$a extract $w/d.uue -d $w/out -q"
  once "base64-d" "base64 -d $w/raw.b64 > $w/out/data"
  once "ours-b64" "$a extract $w/d.b64 -d $w/out -q"
done
# What we decoded is the data.
"$a" extract "$w/d.b64" -d "$w/check" -q && cmp -s "$w/check/data" "$w/data" ||
  { echo "Base64 decode differs" >&2; exit 1; }

sort -k1,1 -k2,2n "$w/all" |
  awk -v n="$rounds" '{c[$1]++} c[$1] == int((n + 1) / 2) {print}' > "$w/results"
awk '{printf "%-10s %8.2f s  %8d KiB peak\n", $1, $2, $3}' "$w/results"
ratio() {  # ours, peer
  awk -v o="$1" -v p="$2" '$1 == o {a = $2} $1 == p {b = $2} END {printf "%.2f", a / b}' \
    "$w/results"
}
echo "uudecoding / uudecode:  $(ratio ours-uu uudecode)"
echo "Base64 / base64 -d:     $(ratio ours-b64 base64-d)"
