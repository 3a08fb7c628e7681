# Record writers for hand-made ZIP archives in tests; every field is the
# caller's, so archives can lie in any way a test needs.
import struct
import zlib


def deflate(d):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(d) + c.flush()


def stored_quote(d):
    return struct.pack('<BHH', 0, len(d), len(d) ^ 0xFFFF) + d


def lfh(name, method, crc, csize, usize, extra=b''):
    return struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 0, method, 0, 0x21, crc, csize, usize,
                       len(name), len(extra)) + name + extra


def cdh(name, method, crc, csize, usize, off, extra=b''):
    return struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 45, 45, 0, method, 0, 0x21, crc, csize,
                       usize, len(name), len(extra), 0, 0, 0, 0, off) + name + extra


def zip64(usize, csize):
    return struct.pack('<HHQQ', 1, 16, usize, csize)


def finish(body, central, n):
    return body + central + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, n, n, len(central),
                                        len(body), 0)


# One entry at the end of body; returns body, its central record.
def add(body, name, method, crc, csize, usize, data, lextra=b'', cextra=b''):
    off = len(body)
    return body + lfh(name, method, crc, csize, usize, lextra) + data, \
        cdh(name, method, crc, csize, usize, off, cextra)
