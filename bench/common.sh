# Shared start of the benchmark scripts (sourced). bench_init BUILD_DIR PROGRAM
# sets top (the repository), build (absolute: the scripts change directory,
# so a directory relative to the caller must still work), prog (the program
# under app/ to time) and work (a scratch directory removed on exit).
bench_init() {
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=$(cd "${1:-$top/build-bench}" 2>/dev/null && pwd) ||
    { echo "no build directory: ${1:-$top/build-bench}" >&2; exit 2; }
  prog=$build/app/$2
  [ -x "$prog" ] || { echo "build $2 first (Release): $prog" >&2; exit 2; }
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}

# bench_once NAME COMMAND: one timed run of COMMAND (through sh) after a
# fresh $work/out and a sync; appends "NAME seconds peak-KiB" to $work/all.
# Wall time to the microsecond: short runs need more than time's hundredths.
bench_once() {
  rm -rf "$work/out"
  mkdir "$work/out"
  sync
  local start=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$work/t" sh -c "$2" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  local m
  read -r m < "$work/t"
  echo "$1 $(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.4f", b - a}') $m" >> "$work/all"
}

# bench_report ROUNDS: the median run of each name, one line each, into
# $work/results and on the screen.
bench_report() {
  sort -k1,1 -k2,2n "$work/all" |
    awk -v n="$1" '{c[$1]++} c[$1] == int((n + 1) / 2) {print}' > "$work/results"
  awk '{printf "%-12s %8.3f s  %8d KiB peak\n", $1, $2, $3}' "$work/results"
}

# bench_ratio OURS PEER: the ratio of their medians.
bench_ratio() {
  awk -v o="$1" -v p="$2" '$1 == o {a = $2} $1 == p {b = $2} END {printf "%.2f", a / b}' \
    "$work/results"
}
