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
