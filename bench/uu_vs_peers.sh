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

rounds=${ROUNDS:-5}
for _ in $(seq "$rounds"); do
  bench_once "uudecode" "uudecode -o $w/out/data $w/d.uue"
  bench_once "ours-uu" "$a extract $w/d.uue -d $w/out -q"
  bench_once "base64-d" "base64 -d $w/raw.b64 > $w/out/data"
  bench_once "ours-b64" "$a extract $w/d.b64 -d $w/out -q"
done
# What we decoded is the data.
"$a" extract "$w/d.b64" -d "$w/check" -q && cmp -s "$w/check/data" "$w/data" ||
  { echo "Base64 decode differs" >&2; exit 1; }

bench_report "$rounds"
echo "uudecoding / uudecode:  $(bench_ratio ours-uu uudecode)"
echo "Base64 / base64 -d:     $(bench_ratio ours-b64 base64-d)"
