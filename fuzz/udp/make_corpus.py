#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpora of udp_reassembler_fuzz (small frames cut into datagrams)
and udp_control_fuzz (repair requests and loss reports)."""
import os
import random
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "udp_reassembler_fuzz")
CONTROL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "udp_control_fuzz")
UDP_MAGIC, UDP_VERSION = 0x5556494B, 3


def frame_header(session, number, width, height, depth=1, flags=0, payload=None):
    bpp = {0: 2, 1: 3, 2: 4, 3: 1}[depth]
    pitch = (width * bpp + 3) & ~3
    size = pitch * height if payload is None else payload
    return struct.pack("<IHHHHHHHHIQqII", 0x4656494B, 1, 48, flags, 1, width, height, depth, 0,
                       number, session, 1000, size, 0), size


def datagrams(session, number, width, height, chunk, flags=0, payload=None):
    head, size = frame_header(session, number, width, height, flags=flags, payload=payload)
    count = max(1, -(-size // chunk))
    body = bytes((i * 7 + number) & 0xFF for i in range(size))
    for i in range(count):
        data = body[i * chunk:(i + 1) * chunk]
        yield struct.pack("<IBBHIIHBBI", UDP_MAGIC, UDP_VERSION, 0, 0, i, count, chunk, 0, 0, 0) + head + data


def record(source, dgram, tick=0):
    return bytes([(source & 3) | (tick << 2)]) + struct.pack("<H", len(dgram)) + dgram


def write(name, records):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(b"".join(records))


os.makedirs(OUT, exist_ok=True)
rng = random.Random(5)
write("in_order", [record(0, d) for d in datagrams(1, 0, 8, 8, 64)])
shuffled = list(datagrams(1, 1, 8, 8, 40)) * 2
rng.shuffle(shuffled)
write("reordered_duplicated", [record(0, d) for d in shuffled])
a, b = list(datagrams(1, 0, 8, 8, 64)), list(datagrams(1, 0, 8, 8, 64))
write("two_sources", [record(i % 2, d) for i, d in enumerate(x for p in zip(a, b) for x in p)])
write("wrap", [record(0, d) for n in (0xFFFFFFFF, 0) for d in datagrams(2, n, 4, 4, 16)])
write("restart", [record(1, d) for s, n in ((3, 900), (4, 0)) for d in datagrams(s, n, 4, 4, 16)])
first = list(datagrams(1, 0, 8, 8, 64))
other = list(datagrams(1, 0, 8, 8, 32))
write("conflicting_count", [record(0, first[0]), record(0, other[1]), record(0, first[1]), record(0, first[2])])
bad = bytearray(first[1])
struct.pack_into("<I", bad, 8, 0x7FFFFF00)
write("index_past_end", [record(0, bytes(bad))])
write("jpeg_timeout", [record(0, d, tick=63) for d in datagrams(1, 0, 8, 8, 100, flags=1, payload=250)][:2])
write("random", [record(rng.randrange(4), bytes(rng.randrange(256) for _ in range(rng.randrange(100))))
                 for _ in range(8)])


# Protected frames: b"P", redundancy percent, then [index, action, position, value] records
# (action 0 feed, 1 lose, 2 forge parity bytes, 3 overwrite a header byte).
def protected(percent, records):
    return [b"P" + bytes([percent]) + b"".join(bytes(r) for r in records)]


write("protected_in_order", protected(10, [(i, 0, 0, 0) for i in range(15)]))
write("protected_losses", protected(50, [(i, 1 if i % 3 == 0 else 0, 0, 0) for i in range(20)]))
write("protected_forged_parity", protected(30, [(0, 1, 0, 0)] + [(i, 2 if i == 13 else 0, 5, 0x40)
                                                                 for i in range(1, 18)]))
write("protected_header_forged", protected(30, [(i, 3 if i % 4 == 0 else 0, i * 3, 0xFF) for i in range(18)]))


os.makedirs(CONTROL, exist_ok=True)
def control(name, body):
    with open(os.path.join(CONTROL, name), "wb") as f:
        f.write(body)


ranges = [(0, 3), (10, 1), (4000000000, 5)]
control("request", struct.pack("<IBBHQII", UDP_MAGIC, UDP_VERSION, 1, len(ranges), 77, 9, 0) +
        b"".join(struct.pack("<II", a, n) for a, n in ranges))
control("request_wraps", struct.pack("<IBBHQIIII", UDP_MAGIC, UDP_VERSION, 1, 1, 77, 9, 0, 0xFFFFFFFF, 2))
control("report", struct.pack("<IBBHQII", UDP_MAGIC, UDP_VERSION, 2, 0, 77, 1000, 37))
control("report_lost_over_expected", struct.pack("<IBBHQII", UDP_MAGIC, UDP_VERSION, 2, 0, 77, 10, 11))
