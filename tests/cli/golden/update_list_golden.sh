#!/bin/sh
# Rewrites corpus_zip_list.txt: what "arcmorph list" prints (both streams and
# the exit status) for every corpus file detected as a ZIP or JAR archive.
# Run it only when a change to the listing is intended; the cli tests
# compare every block with a fresh run. Paths under the corpus folder are
# written as @CORPUS@ so the file does not depend on where the clone lives.
set -eu
ARCMORPH=$(cd "$(dirname "${1:?usage: update_list_golden.sh PATH/TO/arcmorph}")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
corpus=$(cd "$here/../../corpus" && pwd)
out="$here/corpus_zip_list.txt"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$corpus"
: >"$out"
find . -type f ! -path './listings/*' ! -name INDEX.md | sed 's|^\./||' | LC_ALL=C sort |
while IFS= read -r f; do
  type=$("$ARCMORPH" detect "$f" </dev/null 2>/dev/null | sed 's/.*: //') || true
  case "$type" in
    atZip|atZipExe|atZipMV|atZipDS|atJar|atJarExe) ;;
    *) continue ;;
  esac
  rc=0
  "$ARCMORPH" list "$f" >"$tmp/raw-out" 2>"$tmp/raw-err" </dev/null || rc=$?
  LC_ALL=C sed "s|$corpus/|@CORPUS@/|g" "$tmp/raw-out" >"$tmp/out"
  LC_ALL=C sed "s|$corpus/|@CORPUS@/|g" "$tmp/raw-err" >"$tmp/err"
  {
    printf '== %s\n' "$f"
    printf 'exit %s\n' "$rc"
    printf -- '-- stdout %s\n' "$(wc -c <"$tmp/out" | tr -d ' ')"
    cat "$tmp/out"
    printf -- '-- stderr %s\n' "$(wc -c <"$tmp/err" | tr -d ' ')"
    cat "$tmp/err"
  } >>"$out"
done
