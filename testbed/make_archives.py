#!/usr/bin/env python3
"""Makes the 7z archives the installer tests unpack, with the 7-Zip command line (7zz).

Usage: make_archives.py OUTDIR

OUTDIR/tree holds the files the archives were made from, for comparison. Beside each archive that 7zz can list, ARCHIVE.list names its entries in archive order
(7zz chooses the order: folders and empty files first).

Every archive holds the entries of ITEMS (or a part of them) in that order; every file and
folder has the modification time MTIME. Archives that 7zz cannot make directly (hidden or system
attributes, names that leave the install directory, damaged data) are made from real ones by
changing bytes of an uncompressed header and putting its checksums right again.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

MTIME = 1709214307  # 2024-02-29 13:45:07 UTC: a leap day, every field with two digits
ITEMS = ["a.txt", "empty.bin", "dir/sub/c.bin", "h\u00e9llo w\u00f6rld \u20ac.txt",
         "\u65e5\u672c/\u540d\u524d.txt", "dir/emptydir", "big/one.bin", "big/two.bin"]

# The updater.exe of selfupdate.7z: any bytes do, the tests only compare them.
SELF_UPDATE_BYTES = b"updater.exe of the kit\n"
LONG_PATH_NAME = "l" * 236 + ".txt"  # 240 characters: with any install folder past Windows' 259
LONG_NAME = "\u20ac" * 80 + "/" + "\u20ac" * 80 + "/" + "\u20ac" * 19 + ".txt"


def contents():
    rng = random.Random(20261208)
    text = b"".join(b"line %d of a fairly ordinary text file\n" % i for i in range(6000))
    return {
        "a.txt": b"alpha\n",
        "empty.bin": b"",
        "dir/sub/c.bin": bytes(rng.randrange(256) for _ in range(5000)),
        "h\u00e9llo w\u00f6rld \u20ac.txt": b"non-ascii name\n",
        "\u65e5\u672c/\u540d\u524d.txt": b"japanese name\n",
        "big/one.bin": text,
        "big/two.bin": text[::-1],
    }


def make_tree(root, files, dirs=()):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    for name in dirs:
        os.makedirs(os.path.join(root, name), exist_ok=True)
    for folder, subdirs, names in os.walk(root, topdown=False):
        for name in names + subdirs:
            os.utime(os.path.join(folder, name), (MTIME, MTIME))


def sevenzip(tree, archive, items, *switches):
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", "-y", *switches, archive, *items],
                   cwd=tree, check=True)


def write_listing(archive):
    """ARCHIVE.list: one line per entry in archive order, "path<TAB>size"."""
    listing = subprocess.run(["7zz", "l", "-slt", "-ba", archive], check=True, capture_output=True,
                             text=True, encoding="utf-8").stdout
    entries, path = [], None
    for line in listing.splitlines():
        if line.startswith("Path = "):
            path = line[len("Path = "):]
        elif line.startswith("Size = ") and path is not None:
            entries.append("%s\t%s\n" % (path, line[len("Size = "):]))
            path = None
    with open(archive + ".list", "w", encoding="utf-8", newline="") as out:
        out.write("".join(entries))


def crc(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def patch_header(archive, old, new):
    """Replaces bytes old by new (same length) inside the plain header and fixes both CRCs."""
    assert len(old) == len(new)
    with open(archive, "rb") as f:
        data = bytearray(f.read())
    offset, size = struct.unpack_from("<QQ", data, 12)
    start = 32 + offset
    header = bytes(data[start:start + size])
    assert header[0] == 0x01, "the header must be stored plain (-mhc=off)"
    at = header.find(old)
    assert at >= 0, "bytes to patch not found in the header"
    header = header[:at] + new + header[at + len(old):]
    data[start:start + size] = header
    struct.pack_into("<I", data, 28, crc(header))
    struct.pack_into("<I", data, 8, crc(bytes(data[12:32])))
    with open(archive, "wb") as f:
        f.write(data)


def utf16(text):
    return text.encode("utf-16-le")


def main(out):
    os.makedirs(out, exist_ok=True)
    files = contents()
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "tree")
        make_tree(tree, files, ["dir/emptydir"])
        shutil.rmtree(os.path.join(out, "tree"), ignore_errors=True)
        shutil.copytree(tree, os.path.join(out, "tree"))
        methods = {
            "lzma.7z": ["-m0=LZMA"],
            "lzma2.7z": ["-m0=LZMA2"],
            "ppmd.7z": ["-m0=PPMd"],
            "bcj.7z": ["-mf=BCJ"],
            "bcj2.7z": ["-mf=BCJ2"],
            "nonsolid.7z": ["-ms=off"],
            "noattr.7z": ["-mtr-", "-mtm-"],
        }
        for name, switches in methods.items():
            sevenzip(tree, os.path.join(out, name), ITEMS, *switches)

        # No entries at all.
        empty = os.path.join(out, "empty.7z")
        sevenzip(tree, empty, ["a.txt"])
        subprocess.run(["7zz", "d", "-bso0", "-bsp0", empty, "a.txt"], check=True)

        # Read-only from the file's mode; hidden and system planted in the stored attributes.
        os.chmod(os.path.join(tree, "a.txt"), 0o444)
        sevenzip(tree, os.path.join(out, "readonly.7z"), ["a.txt", "empty.bin"])
        os.chmod(os.path.join(tree, "a.txt"), 0o644)
        stored = struct.pack("<I", 0x20 | 0x8000 | (0o100644 << 16))  # how 7zz keeps a 0644 file
        for name, value in (("hidden.7z", 0x22), ("system.7z", 0x24), ("rhs.7z", 0x27)):
            archive = os.path.join(out, name)
            sevenzip(tree, archive, ["a.txt"], "-mhc=off")
            patch_header(archive, stored, struct.pack("<I", value))

        # Damage: a flipped byte in the stored data of the third entry, a cut archive, no archive.
        crc_archive = os.path.join(out, "crc.7z")
        sevenzip(tree, crc_archive, ITEMS[:4], "-m0=Copy", "-ms=off")
        with open(crc_archive, "r+b") as f:
            data = f.read()
            at = data.find(files["dir/sub/c.bin"][:64]) + 2500
            f.seek(at)
            f.write(bytes([data[at] ^ 0xFF]))
        # One solid block per file, the last one damaged: found only after the others are written.
        # The same with more entries than the installer puts in place at once.
        many = os.path.join(work, "many")
        names = ["m/f%03d.txt" % i for i in range(300)]
        make_tree(many, {name: name.encode() for name in names})
        for tree_dir, name, items in ((tree, "blocks.7z", ITEMS), (many, "many.7z", names)):
            blocks = os.path.join(out, name)
            sevenzip(tree_dir, blocks, items, "-ms=1f", "-mhc=off")
            with open(blocks, "r+b") as f:
                data = bytearray(f.read())
                end = 32 + struct.unpack_from("<Q", data, 12)[0]  # the plain header follows the data
                data[end - 4] ^= 0xFF
                f.seek(0)
                f.write(data)
        with open(os.path.join(out, "lzma2.7z"), "rb") as f:
            whole = f.read()
        with open(os.path.join(out, "truncated.7z"), "wb") as f:
            f.write(whole[:len(whole) // 2])
        with open(os.path.join(out, "notarchive.7z"), "wb") as f:
            f.write(b"this is a text file, not an archive\r\n" * 4)

        # Names that would leave the install directory, each after a harmless first entry.
        odd = os.path.join(work, "odd")
        oddities = {"climb.7z": ("aa/x.txt", "../x.txt"), "absolute.7z": ("_x.txt", "/x.txt"),
                    "backslash.7z": ("a_.._x.txt", "a\\..\\x.txt"), "drive.7z": ("C_x.txt", "C:x.txt"),
                    "stream.7z": ("x.txt_s", "x.txt:s"), "device.7z": ("sub/CON.txt", "sub/CON.txt")}
        for name, (real, planted) in oddities.items():
            shutil.rmtree(odd, ignore_errors=True)
            make_tree(odd, {"good.txt": b"good\n", real: b"bad\n"})
            archive = os.path.join(out, name)
            sevenzip(odd, archive, ["good.txt", real], "-mhc=off")
            if real != planted:
                patch_header(archive, utf16(real), utf16(planted))

        # Names Windows cannot create, each after a harmless first entry; the last one is a
        # file path longer than Windows takes in any install directory.
        uncreatable = {"pipe.7z": ("b_bad.txt", "b|bad.txt"), "less.7z": ("b_x.txt", "b<x.txt"),
                       "greater.7z": ("b_x.txt", "b>x.txt"), "quote.7z": ("b_x.txt", 'b"x.txt'),
                       "question.7z": ("b_x.txt", "b?x.txt"), "star.7z": ("b_x.txt", "b*x.txt"),
                       "control.7z": ("b_x.txt", "b\x01x.txt"), "emptypart.7z": ("a__x.txt", "a//x.txt"),
                       "trailingdot.7z": ("dot_/x.txt", "dot./x.txt"), "trailingblank.7z": ("x.txt_", "x.txt "),
                       "longpath.7z": (LONG_PATH_NAME, LONG_PATH_NAME),
                       "backslashpart.7z": ("b_x.txt", "b\\x.txt")}
        for name, (real, planted) in uncreatable.items():
            shutil.rmtree(odd, ignore_errors=True)
            make_tree(odd, {"a_good.txt": b"good\n", real: b"bad\n"})
            archive = os.path.join(out, name)
            sevenzip(odd, archive, ["a_good.txt", real], "-mhc=off")
            if real != planted:
                patch_header(archive, utf16(real), utf16(planted))

        # Names that clash inside the archive, after a harmless first entry.
        for name, items, real, planted in (("fileandfolder.7z", ["xx", "xy/z.txt"], "xy/z.txt", "xx/z.txt"),
                                           ("case.7z", ["ab.txt", "AB.txt"], None, None)):
            shutil.rmtree(odd, ignore_errors=True)
            make_tree(odd, dict({"a_good.txt": b"good\n"}, **{item: b"bad\n" for item in items}))
            archive = os.path.join(out, name)
            sevenzip(odd, archive, ["a_good.txt"] + items, "-mhc=off")
            if real:
                patch_header(archive, utf16(real), utf16(planted))

        # A kit that replaces the updater itself, after an ordinary file.
        own = os.path.join(work, "own")
        make_tree(own, {"a.txt": files["a.txt"], "updater.exe": SELF_UPDATE_BYTES})
        sevenzip(own, os.path.join(out, "selfupdate.7z"), ["a.txt", "updater.exe"])

        # One name of more UTF-8 bytes (543) than the updater keeps of a shown name, in folders
        # that a Linux file system still allows (240 bytes a part).
        long_tree = os.path.join(work, "long")
        make_tree(long_tree, {LONG_NAME: b"long name\n"})
        sevenzip(long_tree, os.path.join(out, "longname.7z"), [LONG_NAME.split("/")[0]])
    for name in os.listdir(out):
        if name.endswith(".7z") and name not in ("truncated.7z", "notarchive.7z", "blocks.7z", "many.7z"):
            write_listing(os.path.join(out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
