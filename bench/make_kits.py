#!/usr/bin/env python3
"""Makes the installer benchmark's two kits in OUTDIR, unless they are there already:
  kit_a.7z  about 300 MB unpacked in 80 files, half text and half binary (LZMA2, -mx5)
  kit_b.7z  10,000 files of 1 to 8 KiB in 100 folders
  kit_c.7z  about 300 MB that decodes fast: 40 files of 2 MB that do not compress (like signed
            binaries) and 40 text files that compress well, in solid blocks of 64 MiB as
            scripts/make_kit.sh makes them
and prints the largest solid block of each (sum of the unpacked sizes of one block), in bytes."""
import os
import random
import shutil
import subprocess
import sys
import tempfile

WORDS = ("update install client archive window progress settings server folder file "
         "network module version signal buffer decoder stream record").split()


def text(rng, size):
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(4, 14))) + " %d\n" % rng.randrange(10**6)
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def binary(rng, size):
    # Random stretches with repeats between them: compresses, but not like text.
    out = bytearray()
    while len(out) < size:
        piece = rng.randbytes(rng.randrange(512, 8192))
        out += piece * rng.randrange(1, 4)
    return bytes(out[:size])


def make_kit(archive, fill, switches):
    if os.path.exists(archive):
        return
    partial = os.path.abspath(archive[:-len(".7z")] + ".part.7z")  # 7zz wants the .7z ending
    with tempfile.TemporaryDirectory() as work:
        fill(work)
        subprocess.run(["7zz", "a", "-bso0", "-bsp0", *switches, partial, "."], cwd=work, check=True)
    os.replace(partial, archive)


def fill_a(root):
    rng = random.Random(1)
    each = 300_000_000 // 80
    for i in range(80):
        maker = text if i % 2 == 0 else binary
        with open(os.path.join(root, "file%02d.%s" % (i, "txt" if i % 2 == 0 else "bin")), "wb") as f:
            f.write(maker(rng, each))


def fill_b(root):
    rng = random.Random(2)
    for i in range(10_000):
        folder = os.path.join(root, "d%d" % (i // 1000), "e%d" % (i // 100 % 10))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%04d.txt" % i), "wb") as f:
            f.write(text(rng, rng.randrange(1024, 8193)))


def fill_c(root):
    rng = random.Random(3)
    for i in range(40):
        with open(os.path.join(root, "program%02d.dll" % i), "wb") as f:
            f.write(rng.randbytes(2_000_000))
    line_block = text(rng, 1 << 20)
    for i in range(40):
        with open(os.path.join(root, "notes%02d.txt" % i), "wb") as f:
            # A megabyte of lines repeated with a counter: text that packs about as well as real logs and help files.
            for n in range(5):
                f.write(b"%d " % (i * 5 + n) + line_block)


def largest_block(archive):
    listing = subprocess.run(["7zz", "l", "-slt", "-ba", archive], check=True, capture_output=True,
                             text=True).stdout
    blocks, size = {}, 0
    for line in listing.splitlines():
        if line.startswith("Size = "):
            size = int(line[7:] or 0)
        elif line.startswith("Block = ") and line[8:].strip():
            block = int(line[8:])
            blocks[block] = blocks.get(block, 0) + size
    return max(blocks.values()) if blocks else 0


def main(out):
    os.makedirs(out, exist_ok=True)
    make_kit(os.path.join(out, "kit_a.7z"), fill_a, ["-m0=LZMA2", "-mx5"])
    make_kit(os.path.join(out, "kit_b.7z"), fill_b, ["-m0=LZMA2", "-mx5"])
    make_kit(os.path.join(out, "kit_c.7z"), fill_c, ["-m0=LZMA2", "-mx5", "-ms=64m"])
    for name in ("kit_a.7z", "kit_b.7z", "kit_c.7z"):
        print(name, largest_block(os.path.join(out, name)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
