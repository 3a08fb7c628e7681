#!/usr/bin/env python3
"""Writes a deterministic test tree: many small text-like files and a few
large ones, about SIZE_MIB mebibytes in all."""
import os
import random
import sys

root, size_mib = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200
rng = random.Random(20261208)
words = [''.join(rng.choice('etaoinshrdlucmfwypvbgkqjxz') for _ in range(rng.randint(2, 9)))
         for _ in range(4000)]


def text(n):
    out, total = [], 0
    while total < n:
        line = ' '.join(rng.choice(words) for _ in range(rng.randint(4, 14))) + '\n'
        out.append(line)
        total += len(line)
    return ''.join(out)[:n].encode()


def binary(n):
    # Half structured records, half noise: compresses to roughly 60 %.
    chunks, total = [], 0
    while total < n:
        if rng.random() < 0.5:
            c = rng.randbytes(4096)
        else:
            rec = rng.randbytes(16)
            c = rec * 256
        chunks.append(c)
        total += len(c)
    return b''.join(chunks)[:n]


target = size_mib << 20
large = [binary(24 << 20), text(24 << 20), binary(16 << 20), text(16 << 20)]
done = 0
for i, data in enumerate(large):
    path = os.path.join(root, 'large', f'big{i}.dat')
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    done += len(data)
i = 0
while done < target:
    n = rng.randint(200, 60000)
    path = os.path.join(root, f'd{i // 500:03d}', f'sub{(i // 50) % 10}', f'f{i:06d}.txt')
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(text(n))
    done += n
    i += 1
print(f'{i} small files, {len(large)} large, {done >> 20} MiB')
