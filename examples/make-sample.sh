#!/usr/bin/env bash
# Builds examples/sample.jar and examples/sample.jad: a tiny MIDlet suite made
# with the JDK alone (plain Java classes, no MIDP API), for the demo and for
# trying jarname by hand.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/src/sample" "$work/classes/icons"
cat >"$work/src/sample/SampleGame.java" <<'JAVA'
package sample;

public class SampleGame {
  private final Board board = new Board(8);

  public String title() { return "Sample Game"; }

  public int cells() { return board.size() * board.size(); }
}
JAVA
cat >"$work/src/sample/Board.java" <<'JAVA'
package sample;

public class Board {
  private final int size;

  public Board(int size) { this.size = size; }

  public int size() { return size; }
}
JAVA
javac --release 8 -nowarn -d "$work/classes" "$work/src/sample/"*.java 2>/dev/null ||
  javac -d "$work/classes" "$work/src/sample/"*.java

# A 16x16 icon: a filled square on a transparent ground.
python3 - "$work/classes/icons/icon.png" <<'PY'
import struct, sys, zlib

def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

w = h = 16
rows = b""
for y in range(h):
    row = b"\x00"
    for x in range(w):
        inside = 3 <= x < 13 and 3 <= y < 13
        row += bytes((30, 120, 200, 255)) if inside else bytes((0, 0, 0, 0))
    rows += row
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
open(sys.argv[1], "wb").write(png)
PY

# The manifest's lines end in CR LF, as most phone toolkits write them.
printf '%s\r\n' \
  "MIDlet-Name: Sample Game" \
  "MIDlet-Vendor: qmx examples" \
  "MIDlet-Version: 1.0.0" \
  "MIDlet-1: Sample Game, /icons/icon.png, sample.SampleGame" \
  "MicroEdition-Profile: MIDP-2.0" \
  "MicroEdition-Configuration: CLDC-1.1" >"$work/manifest.txt"

rm -f "$here/sample.jar"
(cd "$work/classes" && jar cfm "$here/sample.jar" "$work/manifest.txt" sample icons)

size=$(stat -c %s "$here/sample.jar")
printf '%s\r\n' \
  "MIDlet-Name: Sample Game" \
  "MIDlet-Vendor: qmx examples" \
  "MIDlet-Version: 1.0.0" \
  "MIDlet-1: Sample Game, /icons/icon.png, sample.SampleGame" \
  "MIDlet-Jar-URL: sample.jar" \
  "MIDlet-Jar-Size: $size" \
  "MicroEdition-Profile: MIDP-2.0" \
  "MicroEdition-Configuration: CLDC-1.1" >"$here/sample.jad"
echo "wrote $here/sample.jar ($size bytes) and $here/sample.jad"
