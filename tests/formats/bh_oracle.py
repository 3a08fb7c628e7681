"""An independent BH reader for the tests: walks the 37-byte headers, takes
stored data as is, deflated data through zlib (raw, window bits -15), the
traditional ZIP cipher as the ZIP application note describes it, and fused
data by wrapping it in a level-0 "-lh6-" LHA header for lhasa to decode.

usage: bh_oracle.py ARCHIVE OUTDIR [--password P] [--sources DIR]
Prints one line per entry: name, method, flags, packed size, size, CRC-32
verdict ("ok" or "bad"). --sources gives the original files, whose CRC-16
the LHA header needs."""

import os
import struct
import subprocess
import sys
import tempfile
import zlib


def crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


CRC = crc_table()


class ZipCrypto:
    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for b in password:
            self.update(b)

    def update(self, b):
        k = self.k
        k[0] = CRC[(k[0] ^ b) & 0xFF] ^ (k[0] >> 8)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = CRC[(k[2] ^ (k[1] >> 24)) & 0xFF] ^ (k[2] >> 8)

    def decrypt(self, data):
        out = bytearray()
        for c in data:
            t = (self.k[2] & 0xFFFF) | 2
            p = c ^ (((t * (t ^ 1)) >> 8) & 0xFF)
            self.update(p)
            out.append(p)
        return bytes(out)


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def lha_decode(data, size, dos_time, crc, method):
    name = b"entry"
    body = (method + struct.pack("<III", len(data), size, dos_time) + bytes([0x20, 0, len(name)])
            + name + struct.pack("<H", crc))
    header = bytes([len(body), sum(body) % 256]) + body
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "a.lzh"), "wb") as f:
            f.write(header + data + b"\0")
        subprocess.run(["lha", "xq", "a.lzh"], cwd=tmp, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        path = os.path.join(tmp, "entry")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def main():
    args = sys.argv[1:]
    archive, outdir = args[0], args[1]
    password = None
    sources = None
    if "--password" in args:
        password = args[args.index("--password") + 1].encode()
    if "--sources" in args:
        sources = args[args.index("--sources") + 1]
    blob = open(archive, "rb").read()
    pos = blob.find(b"BH\x05\x07")
    while pos >= 0 and pos + 37 <= len(blob):
        (sig, hlen, fixed, ver, ver2, flags, method, dos_time, packed, size, crc, attr, _res,
         nlen, xlen) = struct.unpack("<IHBBBBBIIIIHIHH", blob[pos:pos + 37])
        if sig != 0x07054842 or hlen == 0:
            break
        name = blob[pos + 37:pos + 37 + nlen].decode("utf-8", "replace")
        start = pos + 37 + nlen + xlen
        data = blob[start:start + packed]
        pos = start + packed
        if flags & 1:
            cipher = ZipCrypto(password or b"")
            head = cipher.decrypt(data[:12])
            if head[11] != crc >> 24:
                print(name, method, flags, packed, size, "badpassword")
                continue
            data = cipher.decrypt(data[12:])
        if method == 0:
            plain = data
        elif method in (2, 8):
            plain = zlib.decompress(data, -15)
        elif method in (1, 3):
            want = 0
            if sources:
                with open(os.path.join(sources, name), "rb") as f:
                    want = crc16(f.read())
            plain = lha_decode(data, size, dos_time, want, b"-lh5-" if method == 1 else b"-lh6-")
        else:
            plain = None
        ok = plain is not None and len(plain) == size and (zlib.crc32(plain) if size else 0) == crc
        print(name, method, flags, packed, size, "ok" if ok else "bad")
        if plain is not None and not name.endswith("/"):
            target = os.path.join(outdir, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(plain)


main()
