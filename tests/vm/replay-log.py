#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Replays a dm-log-writes log of one wipe and checks the device at each flush and FUA point.

    replay-log.py LOG --size BYTES --after-mark ready --until-mark done --type ext4 --mount DIR
        --snapshot FILE --secret FILE --name secret.txt --prefix QLNPCUT-

The log, as the kernel's log-writes target writes it: sector 0 holds the super block
{magic, version, nr_entries (u64), sectorsize (u32)}, little-endian; from the next sector on, one
entry per sector {sector, nr_sectors, flags, data_len (u64 each)}, followed by the data written
(nr_sectors sectors), except for a mark, whose name (data_len bytes) is inside the entry's sector,
and for a flush or a discard, which carry none. Sectors are the super block's sectorsize.

Every write is replayed in the log's order onto one zeroed copy of the device, held in memory,
one stretch at a time (never again from zero). The points: the mark --after-mark (the file as
written), every entry with FLUSH or FUA after it (what the device is sure to hold if the power
fails there), and the mark --until-mark. At each, the copy is searched for the file's markers,
written to --snapshot and mounted (the journal is replayed), and its root folder looked at. The
last flush or FUA before --until-mark is what the device held for sure when the wipe returned.
Discards are not replayed: a discarded block may still hold its data. Prints a line per point and
a summary; exits 1 if a point failed, 2 if the log cannot be read.
"""
import argparse
import os
import struct
import subprocess
import sys

MAGIC = 0x6A736677736872
FLUSH, FUA, DISCARD, MARK = 1, 2, 4, 8
SUPER = struct.Struct("<QQQI")
ENTRY = struct.Struct("<QQQQ")


def fail(why):
    print(f"replay-log: {why}", file=sys.stderr)
    sys.exit(2)


def read_entries(log):
    """Yields (number, offset, length, flags, mark name or None, data offset in the log), in bytes."""
    magic, version, count, sectorsize = SUPER.unpack(log.read(SUPER.size))
    if magic != MAGIC or version != 1:
        fail(f"not a log-writes log (magic {magic:#x}, version {version})")
    pos = sectorsize
    for number in range(count):
        log.seek(pos)
        head = log.read(sectorsize)
        if len(head) < ENTRY.size:
            fail(f"the log ends inside entry {number} of {count}")
        sector, nr_sectors, flags, data_len = ENTRY.unpack_from(head)
        name = None
        if flags & MARK:
            name = head[ENTRY.size : ENTRY.size + data_len].decode(errors="replace")
        pos += sectorsize
        yield number, sector * sectorsize, nr_sectors * sectorsize, flags, name, pos
        if not flags & (MARK | DISCARD):
            pos += nr_sectors * sectorsize


class Touched:
    """The parts of the device written so far, in chunks of 1 MiB."""

    CHUNK = 1 << 20

    def __init__(self):
        self.chunks = set()

    def add(self, offset, length):
        self.chunks.update(range(offset // self.CHUNK, (offset + length - 1) // self.CHUNK + 1))

    def runs(self):
        """Yields (start, end) in bytes of each run of adjacent written chunks."""
        run = None
        for chunk in sorted(self.chunks):
            if run and run[1] == chunk * self.CHUNK:
                run[1] += self.CHUNK
                continue
            if run:
                yield tuple(run)
            run = [chunk * self.CHUNK, (chunk + 1) * self.CHUNK]
        if run:
            yield tuple(run)


def kind_of(flags):
    return "+".join(k for k, bit in (("flush", FLUSH), ("fua", FUA)) if flags & bit) or "mark"


def look(args, snapshot, secret):
    """Mounts SNAPSHOT (its journal is replayed) and tells what its folder holds of the file."""
    mount = subprocess.run(["mount", "-t", args.type, "-o", f"loop,{args.options}", snapshot, args.mount],
                           capture_output=True, text=True, check=False)
    if mount.returncode != 0:
        return None, f"cannot mount: {mount.stderr.strip()}"
    try:
        names = os.listdir(args.mount)
        hidden = sum(1 for n in names if n.startswith(".quellon-"))
        if args.name in names:
            with open(os.path.join(args.mount, args.name), "rb") as f:
                content = f.read()
            if content == secret:
                state = "present, the original"
            elif content == b"\r\n":
                state = "present, CR LF"
            else:
                state = (f"present, {len(content)} bytes from {content[:4].hex(' ')}, "
                         f"{content.count(args.prefix)} markers in it")
            present = True
        else:
            state, present = "gone", False
        if hidden:
            state += f", {hidden} under a hidden name"
        return present, state
    finally:
        if subprocess.run(["umount", args.mount], check=False).returncode != 0:
            subprocess.run(["umount", "-l", args.mount], check=False)


def check(args, image, touched, secret, points, number, flags, durable):
    """One point: the file under its name while any of its markers is on the device; gone with
    none left where the wipe had returned. Prints the point's line; returns whether it passed."""
    # Only the stretches written so far can differ from zero: they alone are searched and copied.
    found = 0
    with open(args.snapshot, "wb") as f:
        f.truncate(len(image))
        for start, end in touched.runs():
            found += image.count(args.prefix, start, end)
            f.seek(start)
            f.write(memoryview(image)[start:end])
    present, state = look(args, args.snapshot, secret)
    ok = present is not None and (present or found == 0)
    what = ""
    if number == points[0]:
        what = " (before the wipe)"
        ok = ok and state == "present, the original" and found >= secret.count(args.prefix)
    elif durable or number == points[-1]:
        what = " (the wipe had returned)"
        ok = ok and state == "gone" and found == 0
    print(f"{'PASS' if ok else 'FAIL'} point {points.index(number) + 1:3d}/{len(points)} entry {number:5d} "
          f"{kind_of(flags):9s} {state}, {found} markers on the device{what}", flush=True)
    return ok


def main():
    parser = argparse.ArgumentParser(description="Replay a dm-log-writes log and check each flush and FUA.")
    parser.add_argument("log")
    parser.add_argument("--size", type=int, required=True, help="the device's size in bytes")
    parser.add_argument("--after-mark", required=True)
    parser.add_argument("--until-mark", required=True)
    parser.add_argument("--type", required=True, help="the file system, for mount -t")
    parser.add_argument("--options", default="defaults", help="its mount options")
    parser.add_argument("--mount", required=True, help="an empty folder to mount each point on")
    parser.add_argument("--snapshot", required=True, help="where each point's copy of the device goes")
    parser.add_argument("--secret", required=True, help="a copy of the file as it was before the wipe")
    parser.add_argument("--name", required=True, help="the file's name in the file system's root")
    parser.add_argument("--prefix", required=True, help="what each of the file's markers starts with")
    args = parser.parse_args()
    args.prefix = args.prefix.encode()
    with open(args.secret, "rb") as f:
        secret = f.read()

    image = bytearray(args.size)
    touched = Touched()
    with open(args.log, "rb") as log:
        entries = list(read_entries(log))
        marks = {name: number for number, _, _, _, name, _ in entries if name is not None}
        for mark in (args.after_mark, args.until_mark):
            if mark not in marks:
                fail(f"no mark {mark!r} in the log (marks: {', '.join(marks) or 'none'})")
        first, last = marks[args.after_mark], marks[args.until_mark]
        points = [first] + [e[0] for e in entries[first:last] if e[3] & (FLUSH | FUA)] + [last]
        durable = points[-2]

        failed = 0
        for number, offset, length, flags, _, data_at in entries[: last + 1]:
            if length and not flags & (MARK | DISCARD):
                if offset + length > args.size:
                    fail(f"entry {number} writes past the device's end")
                log.seek(data_at)
                image[offset : offset + length] = log.read(length)
                touched.add(offset, length)
            if number in points and not check(args, image, touched, secret, points, number, flags, number == durable):
                failed += 1
    print(f"replay: {len(entries)} entries, {len(points)} points checked, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
