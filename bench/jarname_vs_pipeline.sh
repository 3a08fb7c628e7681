#!/usr/bin/env bash
# Wall time of `jarname set` against the shell pipeline a user would write
# instead (unzip, sed on the manifest, zip -r -X), on two suites: a
# deterministic 1 MiB suite of 200 entries made by zip, and a 1.2 MiB suite
# of 200 entries made by Python's zipfile (a third random bytes, two thirds
# zero-filled). Medians of interleaved runs. Usage:
#   bench/jarname_vs_pipeline.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_init "${1:-}" jarname
jarname=$prog
rounds=${2:-15}

# Suite 1: 199 files beside the manifest: class-like, PNG-like and text resources.
python3 - "$work/src1" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240601)
manifest = (b"Manifest-Version: 1.0\r\nMIDlet-Name: Bench Game\r\nMIDlet-Vendor: V\r\n"
            b"MIDlet-Version: 1.0\r\nMIDlet-1: Game, /i.png, g.Main\r\n\r\n")
total, count = (1 << 20) - len(manifest), 199
sizes = [rng.randint(1, 100) for _ in range(count)]
sizes = [max(10, int(s * total / sum(sizes))) for s in sizes]
sizes[-1] += total - sum(sizes)
os.makedirs(f"{root}/META-INF")
with open(f"{root}/META-INF/MANIFEST.MF", "wb") as f:
    f.write(manifest)
for i, n in enumerate(sizes):
    kind = i % 3
    if kind == 0:
        d, name = f"{root}/g/p{i % 7}", f"C{i}.class"
        body = b"\xca\xfe\xba\xbe" + bytes(rng.choice(b"aaaabcdLjava/lang;()V\0\1") for _ in range(n - 4))
    elif kind == 1:
        d, name = f"{root}/res/img", f"i{i}.png"
        body = b"\x89PNG\r\n\x1a\n" + rng.randbytes(n - 8)
    else:
        d, name = f"{root}/res/text", f"t{i}.txt"
        words = [b"level", b"score", b"enemy", b"bonus", b"\n"]
        body = b" ".join(rng.choice(words) for _ in range(n))[:n]
    os.makedirs(d, exist_ok=True)
    with open(f"{d}/{name}", "wb") as f:
        f.write(body.ljust(n, b" "))
EOF
(cd "$work/src1" && zip -q -r -X "$work/suite1.jar" META-INF g res)

# Suite 2: 200 entries, 1.2 MiB, by Python's zipfile.
python3 - "$work/suite2.jar" <<'EOF'
import random, sys, zipfile
rng = random.Random(7)
manifest = (b"Manifest-Version: 1.0\r\nMIDlet-Name: Bench Game\r\nMIDlet-Vendor: V\r\n"
            b"MIDlet-1: Game, /i.png, g.Main\r\n\r\n")
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("META-INF/MANIFEST.MF", manifest)
    for i in range(199):
        n = 6300
        body = rng.randbytes(n) if i % 3 == 0 else bytes(n)
        z.writestr(f"d{i % 10}/f{i}.bin", body)
EOF

for s in 1 2; do
  echo "suite $s: $(unzip -Z1 "$work/suite$s.jar" | grep -vc '/$') files," \
    "$(unzip -Zt "$work/suite$s.jar" | sed 's/.*, \([0-9]*\) bytes uncompressed.*/\1/') bytes unpacked," \
    "$(stat -c %s "$work/suite$s.jar") bytes packed"
done

cat > "$work/pipeline.sh" <<'EOF'
set -e
rm -rf "$1/x" "$1/pipe.jar"
mkdir "$1/x"
unzip -q "$2" -d "$1/x"
sed -i 's/^MIDlet-Name:.*\r$/MIDlet-Name: New Name\r/' "$1/x/META-INF/MANIFEST.MF"
cd "$1/x" && zip -q -r -X "$1/pipe.jar" .
EOF

for _ in $(seq 1 "$rounds"); do
  for s in 1 2; do
    bench_once "jarname$s" "'$jarname' set '$work/suite$s.jar' 'New Name' -o '$work/out$s.jar' -y"
    bench_once "pipeline$s" "bash '$work/pipeline.sh' '$work' '$work/suite$s.jar'"
  done
done
bench_report "$rounds"
for s in 1 2; do
  bash "$work/pipeline.sh" "$work" "$work/suite$s.jar"
  [ "$(unzip -p "$work/out$s.jar" META-INF/MANIFEST.MF)" = "$(unzip -p "$work/pipe.jar" META-INF/MANIFEST.MF)" ] ||
    echo "warning: suite $s: the two manifests differ" >&2
  echo "suite $s: ratio jarname / pipeline: $(bench_ratio "jarname$s" "pipeline$s")" \
    "(copy $(stat -c %s "$work/out$s.jar") bytes, pipeline's $(stat -c %s "$work/pipe.jar"))"
done
