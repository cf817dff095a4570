#!/usr/bin/env python3
"""Seeded WAV mutator and the runner that feeds its files to vemio's readers.

The mutator builds a handful of valid WAV files itself (16-bit mono and stereo, 8-bit, 24- and
32-bit PCM, 32- and 64-bit float, the extensible format, LIST/JUNK/fact chunks, odd-sized
chunks) and derives malformed ones from them: first a fixed dictionary of header edits
(channels 0/1025/65535, rates 0/1/huge, bad sub-format GUIDs, chunk sizes beyond the file,
truncations, ...), then random stacks of bit flips, interesting values, chunk duplication,
removal and reordering, splices and appended garbage. File number i of seed s is always the
same bytes, whatever else the run does.

Targets, each run in a child process that handles a list of jobs and reports progress to a
file, so that a crash, a hang or a memory blow-up names the job it happened on and the run goes
on with the next one in a new child:

  file_load   vemio.core.io.file_load(path) and file_load(path, sr=16000, mono=False),
              compared with libsndfile as the `soundfile` package sees it
  load_waves  vemio.core.io.load_waves(folder, use_pool=True) on a whole folder (pooled above
              300 files), compared with file_load file by file
  evaluator   the evaluator's native reader (vemio.core.evaluator._read_wav, what
              AudioEvaluate's SDR and STOI scorers read with), compared with soundfile in the
              stored sample type
  pesq        pesq.exe +16000 REF DEG on pairs of mutated files

    python3 tools/fuzz_wav.py --seconds 300            # the long run (make fuzz)
    python3 tools/fuzz_wav.py --count 2000 --seed 7
    python3 tools/fuzz_wav.py --replay out/fuzz/failures/file_load/*/*.wav

Reproducers of failures and disagreements are copied under OUT/failures/<target>/<kind>/ with
a cases.jsonl that says how each file was made.
"""

from __future__ import annotations

import argparse
import collections
import faulthandler
import json
import math
import os
import random
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
TARGETS = ("file_load", "load_waves", "evaluator", "pesq")
DEFAULT_TIMEOUTS = {"file_load": 30.0, "load_waves": 90.0, "evaluator": 20.0, "pesq": 30.0}
MEMORY_LIMIT = 4 << 30  # address-space limit of every child
MEMORY_FLAG_MB = 512  # a job that raises peak memory by this much is a blow-up
RESTART = 75  # exit status of a child that stops after a memory blow-up, to start afresh
PLAUSIBLE_RATES = (1000, 768000)  # file rates the loaders accept (Hz)
FLOAT_LIKE = ("FLOAT", "DOUBLE", "MPEG", "VORBIS", "OPUS")  # libsndfile sub-types not bounded by 1

# ---------------------------------------------------------------------------------------------
# WAV building

GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")
GUID_PCM = struct.pack("<H", 1) + GUID_TAIL
GUID_FLOAT = struct.pack("<H", 3) + GUID_TAIL


def chunk(cid: bytes, body: bytes, pad: bool = True) -> bytes:
    out = cid + struct.pack("<I", len(body)) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


def fmt_chunk(tag, channels, rate, bits, guid=None, mask=0):
    align = channels * ((bits + 7) // 8)
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)
    if tag == 0xFFFE:
        body += struct.pack("<HHI", 22, bits, mask) + guid
    elif tag != 1:
        body += struct.pack("<H", 0)
    return chunk(b"fmt ", body)


def riff(chunks) -> bytes:
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def _signal(frames, channels, rate, seed):
    """Voiced bursts with pauses and a little noise, with one full-scale sample of each sign."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / rate
    x = np.zeros((frames, channels))
    for c in range(channels):
        f0 = 110 + 40 * c
        env = np.clip(np.sin(2 * np.pi * 2.5 * t + c), 0, None) ** 2
        x[:, c] = 0.4 * env * sum(np.sin(2 * np.pi * h * f0 * t) / h for h in (1, 2, 3, 5))
    x += 0.003 * rng.standard_normal(x.shape)
    x = np.clip(x, -0.99, 0.99)
    x[0, 0], x[1, 0] = -1.0, 1.0
    return x


def encode(x, kind):
    if kind == "pcm8":
        v = np.clip(np.round(x * 128) + 128, 0, 255).astype("u1")
    elif kind == "pcm16":
        v = np.clip(np.round(x * 32768), -32768, 32767).astype("<i2")
    elif kind == "pcm24":
        i = np.clip(np.round(x * 8388608), -8388608, 8388607).astype("<i4")
        return i.reshape(-1).view("u1").reshape(-1, 4)[:, :3].tobytes()
    elif kind == "pcm32":
        v = np.clip(np.round(x * 2147483648.0), -2147483648, 2147483647).astype("<i4")
    elif kind == "float32":
        v = x.astype("<f4")
    else:
        v = x.astype("<f8")
    return v.tobytes()


_BITS = {"pcm8": 8, "pcm16": 16, "pcm24": 24, "pcm32": 32, "float32": 32, "float64": 64}


def make_seeds():
    """Name -> bytes of the valid files every mutation starts from (always the same bytes)."""
    specs = [
        # name, kind, channels, rate, frames, extensible, extra chunks
        ("pcm16_mono", "pcm16", 1, 16000, 12000, False, "list"),
        ("pcm16_stereo", "pcm16", 2, 16000, 12000, False, ""),
        ("pcm16_junk", "pcm16", 1, 16000, 12000, False, "junk"),
        ("pcm16_22k", "pcm16", 1, 22050, 16000, False, ""),
        ("pcm16_3ch_8k", "pcm16", 3, 8000, 4001, False, "tail"),
        ("pcm8_mono", "pcm8", 1, 8000, 6001, False, "list"),
        ("pcm24_mono", "pcm24", 1, 16000, 9000, False, ""),
        ("pcm32_stereo", "pcm32", 2, 16000, 6000, False, ""),
        ("float32_mono", "float32", 1, 16000, 12000, False, "fact"),
        ("float64_mono", "float64", 1, 16000, 6000, False, "fact"),
        ("ext_pcm16_stereo", "pcm16", 2, 16000, 12000, True, ""),
        ("ext_float32_mono", "float32", 1, 16000, 8000, True, "fact"),
        ("ext_pcm24_stereo", "pcm24", 2, 48000, 6000, True, "junk"),
    ]
    seeds = {}
    for n, (name, kind, ch, rate, frames, ext, extra) in enumerate(specs):
        bits = _BITS[kind]
        tag = 3 if kind.startswith("float") else 1
        if ext:
            fmt = fmt_chunk(
                0xFFFE, ch, rate, bits, GUID_FLOAT if tag == 3 else GUID_PCM, (1 << ch) - 1
            )
        else:
            fmt = fmt_chunk(tag, ch, rate, bits)
        data = chunk(b"data", encode(_signal(frames, ch, rate, n), kind))
        chunks = [fmt]
        if extra == "junk":  # a JUNK chunk before the format, as some recorders write
            chunks.insert(0, chunk(b"JUNK", bytes(28)))
            chunks.append(chunk(b"JUNK", b"\0" * 5))  # odd-sized, padded
        if extra == "list":
            chunks.append(chunk(b"LIST", b"INFO" + chunk(b"INAM", b"seed file\0", pad=True)))
        if extra == "fact":
            chunks.append(chunk(b"fact", struct.pack("<I", frames)))
        chunks.append(data)
        if extra == "tail":  # an odd-sized chunk after the samples
            chunks.append(chunk(b"LIST", b"INFOICMT" + struct.pack("<I", 3) + b"ab\0"))
        if extra == "list" and kind == "pcm8":
            chunks.append(chunk(b"afsp", b"odd"))
        seeds[name] = riff(chunks)
    return seeds


# ---------------------------------------------------------------------------------------------
# Reading the structure back (tolerant: walks whatever is there)


def chunks_of(buf):
    """[(offset, id, size)] of the chunks after the RIFF/WAVE header, as far as they go."""
    out = []
    pos = 12
    while pos + 8 <= len(buf) and len(out) < 64:
        size = struct.unpack_from("<I", buf, pos + 4)[0]
        out.append((pos, bytes(buf[pos : pos + 4]), size))
        nxt = pos + 8 + size + (size & 1)
        if nxt > len(buf):
            break
        pos = nxt
    return out


def find_chunk(buf, cid):
    for off, c, size in chunks_of(buf):
        if c == cid:
            return off, size
    return None


def describe(buf):
    """A one-line header summary: what a reader sees first."""
    if len(buf) < 12:
        return f"{len(buf)} bytes"
    parts = [f"{bytes(buf[:4])!r}/{bytes(buf[8:12])!r} {len(buf)} bytes"]
    for off, c, size in chunks_of(buf):
        text = f"{c.decode('latin-1')!r}({size}{'!' if off + 8 + size > len(buf) else ''})"
        if c == b"fmt " and size >= 16 and off + 24 <= len(buf):
            tag, ch, rate, brate, align, bits = struct.unpack_from("<HHIIHH", buf, off + 8)
            text += f"[tag={tag:#x} ch={ch} rate={rate} align={align} bits={bits}"
            if tag == 0xFFFE and size >= 40 and off + 48 <= len(buf):
                sub = bytes(buf[off + 32 : off + 48])
                name = {GUID_PCM: "PCM", GUID_FLOAT: "FLOAT"}.get(sub, sub.hex())
                text += f" sub={name}"
            text += "]"
        parts.append(text)
    return " ".join(parts)


def header_tag(buf):
    """The format code of the first fmt chunk (the sub-format's for the extensible form)."""
    found = find_chunk(buf, b"fmt ")
    if not found or found[0] + 10 > len(buf):
        return None
    off = found[0]
    tag = struct.unpack_from("<H", buf, off + 8)[0]
    if tag == 0xFFFE and off + 34 <= len(buf):
        tag = struct.unpack_from("<H", buf, off + 32)[0]
    return tag


def is_float_header(buf):
    return header_tag(buf) == 3


# ---------------------------------------------------------------------------------------------
# Mutations: each takes (bytearray, random.Random) and returns (bytearray, description)

INTERESTING_8 = (0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE)
INTERESTING_16 = (0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 1024, 1025)
INTERESTING_32 = (0, 1, 2, 0x7F, 0x80, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF)


def _pos(buf, r):
    """A byte position, biased towards the headers where the parsing happens."""
    if not buf:
        return 0
    if r.random() < 0.7:
        return r.randrange(min(len(buf), 96))
    return r.randrange(len(buf))


def m_bitflip(buf, r):
    flips = []
    for _ in range(r.choice((1, 1, 2, 4, 8))):
        if not buf:
            break
        p, b = _pos(buf, r), r.randrange(8)
        buf[p] ^= 1 << b
        flips.append(f"{p}.{b}")
    return buf, "flip " + ",".join(flips)


def m_byte(buf, r):
    if not buf:
        return buf, "byte (empty)"
    p, v = _pos(buf, r), r.choice(INTERESTING_8)
    buf[p] = v
    return buf, f"byte@{p}={v:#x}"


def m_u16(buf, r):
    if len(buf) < 2:
        return buf, "u16 (short)"
    p = min(_pos(buf, r) & ~1, len(buf) - 2)
    v = r.choice(INTERESTING_16)
    struct.pack_into("<H", buf, p, v)
    return buf, f"u16@{p}={v:#x}"


def m_u32(buf, r):
    if len(buf) < 4:
        return buf, "u32 (short)"
    sizes = [p for p in [off + 4 for off, _, _ in chunks_of(buf)] + [4] if p + 4 <= len(buf)]
    p = r.choice(sizes) if sizes and r.random() < 0.6 else min(_pos(buf, r), len(buf) - 4)
    old = struct.unpack_from("<I", buf, p)[0]
    v = r.choice(
        INTERESTING_32 + (len(buf), 2 * len(buf), (old + 1) & 0xFFFFFFFF, (old - 1) & 0xFFFFFFFF)
    )
    struct.pack_into("<I", buf, p, v)
    return buf, f"u32@{p}={v:#x}"


def m_truncate(buf, r):
    n = r.choice((0, r.randrange(0, 64), r.randrange(len(buf) + 1), len(buf) - r.randrange(1, 8)))
    n = max(0, min(len(buf), n))
    return buf[:n], f"truncate {n}"


def m_dup_chunk(buf, r):
    cs = chunks_of(buf)
    if not cs:
        return buf, "dup (no chunk)"
    off, cid, size = r.choice(cs)
    piece = buf[off : off + 8 + size + (size & 1)]
    at = r.choice([c[0] for c in cs] + [len(buf)])
    return buf[:at] + piece + buf[at:], f"dup {cid!r} at {at}"


def m_remove_chunk(buf, r):
    cs = chunks_of(buf)
    if not cs:
        return buf, "remove (no chunk)"
    off, cid, size = r.choice(cs)
    return buf[:off] + buf[off + 8 + size + (size & 1) :], f"remove {cid!r}"


def m_swap_chunks(buf, r):
    cs = [c for c in chunks_of(buf) if c[0] + 8 + c[2] <= len(buf)]
    if len(cs) < 2:
        return buf, "swap (too few chunks)"
    a, b = sorted(r.sample(range(len(cs)), 2))
    pieces = [bytes(buf[o : o + 8 + s + (s & 1)]) for o, _, s in cs]
    end = cs[-1][0] + 8 + cs[-1][2] + (cs[-1][2] & 1)
    pieces[a], pieces[b] = pieces[b], pieces[a]
    return bytearray(buf[:12] + b"".join(pieces) + buf[end:]), f"swap {cs[a][1]!r} {cs[b][1]!r}"


def m_insert_chunk(buf, r):
    cid = r.choice(
        (
            b"JUNK",
            b"LIST",
            b"fact",
            b"data",
            b"fmt ",
            b"PAD ",
            bytes(r.randrange(256) for _ in range(4)),
        )
    )
    size = r.choice((0, 1, 3, 4, 17, r.randrange(64)))
    body = bytes(r.randrange(256) for _ in range(size))
    pad = r.random() < 0.5
    cs = chunks_of(buf)
    at = r.choice([c[0] for c in cs] + [len(buf), 12]) if len(buf) >= 12 else len(buf)
    return buf[:at] + chunk(cid, body, pad) + buf[
        at:
    ], f"insert {cid!r}({size}{' pad' if pad else ''}) at {at}"


def m_append(buf, r):
    kind = r.choice(("random", "zeros", "data", "riff", "odd"))
    tail = {
        "random": bytes(r.randrange(256) for _ in range(r.choice((1, 7, 64, 1000)))),
        "zeros": bytes(r.choice((1, 2, 4096))),
        "data": b"data" + struct.pack("<I", r.choice((0, 3, 0xFFFFFFFF))),
        "riff": bytes(buf[:44]),
        "odd": b"JUNK" + struct.pack("<I", 3) + b"abc",
    }[kind]
    return buf + tail, f"append {kind} {len(tail)}"


def m_samples(buf, r):
    found = find_chunk(buf, b"data")
    if not found:
        return buf, "samples (no data)"
    off, size = found
    start = off + 8
    end = min(len(buf), start + size)
    if end - start < 16:
        return buf, "samples (short)"
    a = r.randrange(start, end - 8)
    n = min(end - a, r.choice((8, 64, 512)))
    if is_float_header(buf):
        v = r.choice((float("nan"), float("inf"), -float("inf"), 1e30, 2.0, -1.0))
        unit = struct.pack("<f", v)
    else:
        v = r.choice((0x8000, 0x7FFF, 0xFFFF, 0x0000, 0x8080))
        unit = struct.pack("<H", v)
    fill = (unit * (n // len(unit) + 1))[:n]
    buf[a : a + n] = fill
    return buf, f"samples@{a}+{n}={v}"


def m_splice(buf, r, seeds):
    """Samples of another seed under this header: a format the bytes were not written in."""
    other = seeds[r.choice(sorted(seeds))]
    mine, theirs = find_chunk(buf, b"data"), find_chunk(other, b"data")
    if not mine or not theirs:
        return buf, "splice (no data)"
    o, s = theirs
    body = other[o + 8 : o + 8 + s]
    off, size = mine
    return buf[: off + 4] + struct.pack("<I", len(body)) + body + buf[
        off + 8 + size :
    ], "splice data"


def m_dictionary(buf, r):
    name, edit = r.choice(DICTIONARY)
    return edit(buf), name


RANDOM_OPS = (
    (m_bitflip, 4),
    (m_byte, 3),
    (m_u16, 3),
    (m_u32, 4),
    (m_truncate, 2),
    (m_dup_chunk, 1),
    (m_remove_chunk, 1),
    (m_swap_chunks, 1),
    (m_insert_chunk, 2),
    (m_append, 1),
    (m_samples, 2),
    (m_dictionary, 5),
)


# --- the dictionary of single, targeted edits -------------------------------------------------


def set_fmt(buf, consistent=False, **fields):
    """Overwrite fields of the first fmt chunk; `consistent` recomputes block align and byte
    rate from channels, bits and rate, so that only the named field looks wrong."""
    found = find_chunk(buf, b"fmt ")
    if not found or found[0] + 24 > len(buf):
        return buf
    o = found[0] + 8
    names = ("tag", "channels", "rate", "byte_rate", "align", "bits")
    cur = dict(zip(names, struct.unpack_from("<HHIIHH", buf, o)))
    cur.update(fields)
    if consistent:
        cur["align"] = (cur["channels"] * ((cur["bits"] + 7) // 8)) & 0xFFFF
        cur["byte_rate"] = (cur["rate"] * cur["align"]) & 0xFFFFFFFF
    struct.pack_into(
        "<HHIIHH",
        buf,
        o,
        *(
            cur[n] & (0xFFFF if n in ("tag", "channels", "align", "bits") else 0xFFFFFFFF)
            for n in names
        ),
    )
    return buf


def make_extensible(buf, guid, cb=22, valid=None, mask=None):
    """Rewrite the fmt chunk in the extensible form with the given sub-format GUID."""
    found = find_chunk(buf, b"fmt ")
    if not found or found[0] + 24 > len(buf):
        return buf
    off, size = found
    tag, ch, rate, brate, align, bits = struct.unpack_from("<HHIIHH", buf, off + 8)
    body = struct.pack("<HHIIHH", 0xFFFE, ch, rate, brate, align, bits)
    body += struct.pack(
        "<HHI",
        cb,
        bits if valid is None else valid,
        ((1 << min(ch, 31)) - 1) if mask is None else mask,
    )
    body += guid
    return buf[:off] + chunk(b"fmt ", body) + buf[off + 8 + size + (size & 1) :]


def set_size(cid, value):
    def edit(buf):
        found = find_chunk(buf, cid)
        if found:
            off, size = found
            v = value(size, len(buf), off) if callable(value) else value
            struct.pack_into("<I", buf, off + 4, v & 0xFFFFFFFF)
        return buf

    return edit


def set_at(offset, fmt, value):
    def edit(buf):
        if offset + struct.calcsize(fmt) <= len(buf):
            struct.pack_into(fmt, buf, offset, value)
        return buf

    return edit


def insert_before(cid, piece):
    def edit(buf):
        found = find_chunk(buf, cid)
        at = found[0] if found else len(buf)
        return buf[:at] + piece + buf[at:]

    return edit


def insert_after(cid, piece):
    def edit(buf):
        found = find_chunk(buf, cid)
        if not found:
            return buf + piece
        off, size = found
        at = min(len(buf), off + 8 + size + (size & 1))
        return buf[:at] + piece + buf[at:]

    return edit


def remove(cid):
    def edit(buf):
        found = find_chunk(buf, cid)
        if not found:
            return buf
        off, size = found
        return buf[:off] + buf[off + 8 + size + (size & 1) :]

    return edit


def duplicate(cid, then=None):
    def edit(buf):
        found = find_chunk(buf, cid)
        if not found:
            return buf
        off, size = found
        piece = bytearray(buf[off : off + 8 + size + (size & 1)])
        if then:
            piece = then(bytearray(b"RIFF\0\0\0\0WAVE") + piece)[12:]
        at = off + len(piece)
        return buf[:at] + piece + buf[at:]

    return edit


def move_to_end(cid):
    def edit(buf):
        found = find_chunk(buf, cid)
        if not found:
            return buf
        off, size = found
        piece = buf[off : off + 8 + size + (size & 1)]
        return buf[:off] + buf[off + len(piece) :] + piece

    return edit


def fill_data(byte):
    def edit(buf):
        found = find_chunk(buf, b"data")
        if found:
            off, size = found
            end = min(len(buf), off + 8 + size)
            buf[off + 8 : end] = bytes([byte]) * (end - off - 8)
        return buf

    return edit


def truncate_to(n):
    return lambda buf: buf[: (n if n >= 0 else max(0, len(buf) + n))]


def _build_dictionary():
    d = []

    def add(name, edit):
        d.append((name, edit))

    for ch in (0, 2, 3, 1024, 1025, 65535):
        add(f"channels={ch}", lambda b, ch=ch: set_fmt(b, channels=ch))
        add(
            f"channels={ch} (align, byte rate follow)",
            lambda b, ch=ch: set_fmt(b, True, channels=ch),
        )
    for rate in (
        0,
        1,
        2,
        999,
        1000,
        8000,
        44100,
        768000,
        768001,
        0x7FFFFFFF,
        0x80000000,
        0xFFFFFFFF,
    ):
        add(f"rate={rate}", lambda b, rate=rate: set_fmt(b, True, rate=rate))
    for rate in (0, 1, 0xFFFFFFFF):
        add(f"rate={rate} (byte rate kept)", lambda b, rate=rate: set_fmt(b, rate=rate))
    for bits in (0, 1, 4, 8, 12, 16, 20, 24, 32, 48, 64, 0xFFFF):
        add(f"bits={bits}", lambda b, bits=bits: set_fmt(b, bits=bits))
        add(f"bits={bits} (align follows)", lambda b, bits=bits: set_fmt(b, True, bits=bits))
    for align in (0, 1, 3, 0x7FFF, 0xFFFF):
        add(f"block align={align}", lambda b, align=align: set_fmt(b, align=align))
    for brate in (0, 1, 0xFFFFFFFF):
        add(f"byte rate={brate}", lambda b, brate=brate: set_fmt(b, byte_rate=brate))
    for tag in (0, 1, 2, 3, 6, 7, 0x11, 0x31, 0x55, 0xFFFE, 0xFFFF):
        add(f"format tag={tag:#x}", lambda b, tag=tag: set_fmt(b, tag=tag))
    guids = {
        "PCM": GUID_PCM,
        "FLOAT": GUID_FLOAT,
        "PCM code, bad tail": struct.pack("<H", 1) + bytes(14),
        "PCM code, one tail byte off": GUID_PCM[:-1] + b"\x72",
        "code 0x0000": struct.pack("<H", 0) + GUID_TAIL,
        "code 0xFFFE": struct.pack("<H", 0xFFFE) + GUID_TAIL,
        "all zero": bytes(16),
        "all 0xFF": b"\xff" * 16,
    }
    for gname, guid in guids.items():
        add(f"extensible, sub-format {gname}", lambda b, guid=guid: make_extensible(b, guid))
    add("extensible, cbSize=0", lambda b: make_extensible(b, GUID_PCM, cb=0))
    add("extensible, cbSize=0xFFFF", lambda b: make_extensible(b, GUID_PCM, cb=0xFFFF))
    for valid in (0, 8, 17, 32):
        add(
            f"extensible, valid bits={valid}",
            lambda b, valid=valid: make_extensible(b, GUID_PCM, valid=valid),
        )
    add(
        "extensible, channel mask 0xFFFFFFFF",
        lambda b: make_extensible(b, GUID_PCM, mask=0xFFFFFFFF),
    )
    for size in (0, 14, 15, 17, 18, 39, 41, 0xFFFF, 0xFFFFFFFF):
        add(f"fmt size={size}", set_size(b"fmt ", size))
    for name, value in (
        ("0", 0),
        ("1", 1),
        ("2", 2),
        ("3", 3),
        ("size-1", lambda s, n, o: s - 1),
        ("size+1", lambda s, n, o: s + 1),
        ("size+2", lambda s, n, o: s + 2),
        ("1000 beyond file", lambda s, n, o: n - o - 8 + 1000),
        ("0x7FFFFFFF", 0x7FFFFFFF),
        ("0x80000000", 0x80000000),
        ("0xFFFFFFFE", 0xFFFFFFFE),
        ("0xFFFFFFFF", 0xFFFFFFFF),
    ):
        add(f"data size={name}", set_size(b"data", value))
    for name, value in (
        ("0", 0),
        ("4", 4),
        ("file-9", None),
        ("file-7", None),
        ("0xFFFFFFFF", 0xFFFFFFFF),
    ):
        if value is None:
            delta = int(name[5:])
            add(
                f"RIFF size={name}",
                lambda b, delta=delta: set_at(4, "<I", max(0, len(b) - delta))(b),
            )
        else:
            add(f"RIFF size={name}", set_at(4, "<I", value))
    for magic_at, magic in ((0, b"RIFX"), (0, b"RF64"), (0, b"riff"), (8, b"WAVX"), (12, b"fmT ")):
        add(f"magic {magic!r} at {magic_at}", lambda b, a=magic_at, m=magic: b[:a] + m + b[a + 4 :])
    add(
        "odd JUNK chunk, no pad, before fmt",
        insert_before(b"fmt ", chunk(b"JUNK", b"abc", pad=False)),
    )
    add(
        "odd JUNK chunk, no pad, before data",
        insert_before(b"data", chunk(b"JUNK", b"abc", pad=False)),
    )
    add("odd JUNK chunk, padded, before data", insert_before(b"data", chunk(b"JUNK", b"abc")))
    add(
        "odd LIST chunk, no pad, after data",
        insert_after(b"data", chunk(b"LIST", b"INFOx", pad=False)),
    )
    add("empty JUNK chunk before data", insert_before(b"data", chunk(b"JUNK", b"")))
    add(
        "JUNK chunk claiming 0xFFFFFFF0 before data",
        insert_before(b"data", b"JUNK" + struct.pack("<I", 0xFFFFFFF0)),
    )
    add("fmt removed", remove(b"fmt "))
    add("data removed", remove(b"data"))
    add("fmt twice, the second stereo", duplicate(b"fmt ", lambda b: set_fmt(b, True, channels=2)))
    add("fmt twice, the second 8-bit", duplicate(b"fmt ", lambda b: set_fmt(b, True, bits=8)))
    add("data twice", duplicate(b"data"))
    add("fmt after data", move_to_end(b"fmt "))
    for n in (0, 1, 4, 8, 11, 12, 16, 20, 24, 35, 36, 40, 43, 44, 45, 60, -1, -3):
        add(f"truncated to {n} bytes", truncate_to(n))
    add("truncated to half", lambda b: b[: len(b) // 2])
    add("garbage appended, 1 byte", lambda b: b + b"\x01")
    add("garbage appended, 3 bytes", lambda b: b + b"\xff\x00\x7f")
    add(
        "garbage appended, 1000 bytes",
        lambda b: b + bytes((i * 73 + 41) & 0xFF for i in range(1000)),
    )
    add("data header appended, size 0xFFFFFFFF", lambda b: b + b"data\xff\xff\xff\xff")
    add("second RIFF header appended", lambda b: b + b[:44])
    for byte in (0x00, 0x80, 0xFF, 0x7F):
        add(f"samples all {byte:#04x}", fill_data(byte))
    return d


DICTIONARY = _build_dictionary()


class Mutator:
    """File number `index` of run seed `seed`: a dictionary edit for the first indices, random
    stacks of mutations after. `dictionary` = "all" applies every edit to every seed; "one"
    applies it to the 16-bit mono seed and to one other seed in turn."""

    def __init__(self, seed: int, dictionary: str = "all"):
        self.seed = seed
        self.seeds = make_seeds()
        self.names = sorted(self.seeds)
        if dictionary == "all":
            self.plan = [(e, s) for e in range(len(DICTIONARY)) for s in self.names]
        else:
            others = [n for n in self.names if n != "pcm16_mono"]
            self.plan = []
            for e in range(len(DICTIONARY)):
                self.plan.append((e, "pcm16_mono"))
                self.plan.append((e, others[e % len(others)]))
        # the valid seeds themselves open the run: everything must read them
        self.plan = [(None, s) for s in self.names] + self.plan

    def make(self, index: int):
        """(bytes, seed name, [operations])."""
        if index < len(self.plan):
            e, name = self.plan[index]
            buf = bytearray(self.seeds[name])
            if e is None:
                return bytes(buf), name, ["valid seed"]
            label, edit = DICTIONARY[e]
            return bytes(edit(buf)), name, [label]
        r = random.Random(f"{self.seed}:{index}")
        name = r.choice(self.names)
        buf = bytearray(self.seeds[name])
        ops = []
        funcs, weights = zip(*RANDOM_OPS)
        for _ in range(r.choice((1, 1, 1, 2, 2, 3, 4))):
            if r.random() < 0.05:
                buf, desc = m_splice(buf, r, self.seeds)
            else:
                buf, desc = r.choices(funcs, weights)[0](buf, r)
            ops.append(desc)
        if r.random() < 0.02:
            buf, ops = bytearray(), ops + ["emptied"]
        return bytes(buf), name, ops


# ---------------------------------------------------------------------------------------------
# Children: one target, a list of jobs, progress and results in files


def _peak_kib():
    """Peak resident memory of this process image in KiB. VmHWM starts afresh at exec;
    ru_maxrss would carry the peak of the process this one was forked from."""
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class Child:
    def __init__(self, progress, results, mem_flag_mb):
        self.progress = os.open(progress, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.results = open(results, "a", buffering=1)
        self.mem_flag = mem_flag_mb * 1024  # KiB
        self.base_self = _peak_kib()

    def stage(self, k, name):
        os.write(self.progress, f"{k} {name}\n".encode())

    def memory_jump(self):
        """MiB of peak memory above the start of this child, when above the flag."""
        peak = _peak_kib()
        own = peak - self.base_self
        # a forked worker starts with at most this process's peak; what it adds is its own
        kids = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss - peak
        worst = max(own, kids)
        return worst // 1024 if worst > self.mem_flag else 0

    def report(self, k, res, started):
        res["k"] = k
        res["secs"] = round(time.monotonic() - started, 4)
        jump = self.memory_jump()
        if jump:
            res.setdefault("fail", []).append(["memory", f"peak memory grew by {jump} MiB"])
        self.results.write(json.dumps(res) + "\n")
        if jump:  # the high-water mark stays up: go on in a fresh process
            self.results.close()
            os._exit(RESTART)


def _exc(e):
    return f"{type(e).__name__}: {str(e)[:300]}"


def _ref_float(path):
    """libsndfile's reading, as the soundfile package gives it: (info, (frames, channels) float32)."""
    import soundfile as sf

    try:
        with sf.SoundFile(path) as f:
            info = {
                "rate": f.samplerate,
                "channels": f.channels,
                "frames": f.frames,
                "format": f.format,
                "subtype": f.subtype,
            }
            data = f.read(dtype="float32", always_2d=True)
        info["frames_read"] = len(data)
        return info, data, None
    except Exception as e:  # any refusal of libsndfile's
        return None, None, _exc(e)


def _mono(data):
    """Channel mean as the loader forms it: float32 sums in channel order, then one division."""
    acc = np.zeros(len(data), np.float32)
    for c in range(data.shape[1]):
        acc += data[:, c]
    return acc / np.float32(data.shape[1])


def _same(a, b, tol=1e-6):
    """None when equal (NaN where NaN), else a short text of the difference."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return f"shape {a.shape} != libsndfile {b.shape}"
    if a.size == 0:
        return None
    na, nb = np.isnan(a), np.isnan(b)
    if (na != nb).any():
        return f"NaN at {int(np.argmax(na != nb))} differs"
    with np.errstate(invalid="ignore"):
        d = np.abs(a[~na].astype(np.float64) - b[~nb].astype(np.float64))
    d = d[~np.isnan(d)]  # inf - inf
    if d.size and d.max() > tol:
        i = int(np.argmax(d))
        return f"samples differ by up to {d.max():.3g} (at flat index {i})"
    return None


def _check_loaded(res, got, what, integer, want_ndim=None):
    """Shape and value checks of one file_load result; returns True when it is a value."""
    if got is None:
        return False
    if not (
        isinstance(got, tuple)
        and len(got) == 2
        and isinstance(got[0], np.ndarray)
        and isinstance(got[1], int)
        and not isinstance(got[1], bool)
    ):
        res["fail"].append(["bad-return", f"{what} returned {type(got).__name__} {str(got)[:80]}"])
        return False
    y, sr = got
    if y.dtype != np.float32 or sr <= 0 or (want_ndim and y.ndim not in want_ndim):
        res["fail"].append(["bad-return", f"{what}: dtype {y.dtype}, ndim {y.ndim}, rate {sr}"])
    elif y.size and integer:
        if np.isnan(y).any():
            res["fail"].append(["nan", f"{what}: NaN samples from an integer-PCM file"])
        elif not np.isfinite(y).all():
            res["fail"].append(
                ["out-of-range", f"{what}: infinite samples from an integer-PCM file"]
            )
        elif what == "file_load(path)" and np.abs(y).max() > 1.0:
            res["fail"].append(
                ["out-of-range", f"{what}: sample {float(np.abs(y).max())} outside [-1, 1]"]
            )
    return True


def child_file_load(child, jobs, start):
    import contextlib
    import io as _io

    from vemio.core import io

    for k in range(start, len(jobs)):
        path = jobs[k]
        t0 = time.monotonic()
        res = {"fail": [], "disagree": []}
        child.stage(k, "reference")
        info, data, err = _ref_float(path)
        res["ref"] = info if info else {"error": err}
        with open(path, "rb") as fh:
            head = fh.read(4096)
        # integer codecs decode into [-1, 1]; float data and lossy codecs may go beyond
        if info:
            integer = not info["subtype"].startswith(FLOAT_LIKE)
        else:
            integer = header_tag(head) == 1
        out = _io.StringIO()
        try:
            child.stage(k, "file_load")
            with contextlib.redirect_stdout(out):
                a = io.file_load(path)
            child.stage(k, "file_load(sr=16000, mono=False)")
            with contextlib.redirect_stdout(out):
                b = io.file_load(path, sr=16000, mono=False)
        except MemoryError as e:
            res["fail"].append(["memory", _exc(e)])
            child.report(k, res, t0)
            continue
        except BaseException as e:  # file_load never raises
            res["fail"].append(["raised:" + type(e).__name__, _exc(e)])
            child.report(k, res, t0)
            continue
        got_a = _check_loaded(res, a, "file_load(path)", integer, (1,))
        got_b = _check_loaded(res, b, "file_load(path, sr=16000, mono=False)", integer, (1, 2))
        res["outcome"] = "value" if got_a else "none"
        if got_a and not integer and a[0].size and not np.abs(a[0]).max() <= 1.0:
            res["outcome"] = "value beyond [-1, 1] (float data or lossy codec)"
        printed = out.getvalue()
        for got, what in (
            (got_a, "file_load(path)"),
            (got_b, "file_load(path, sr=16000, mono=False)"),
        ):
            if not got and str(path) not in printed:
                res["fail"].append(
                    ["silent-none", f"{what} gave None without the broken-file line"]
                )
        if got_a != got_b:
            res["disagree"].append(
                [
                    "mono-and-resampled-disagree",
                    f"file_load(path) {'reads' if got_a else 'refuses'} the file, "
                    f"file_load(path, sr=16000, mono=False) {'reads' if got_b else 'refuses'} it",
                ]
            )
        if info is None:
            if got_a:
                res["disagree"].append(["reads-what-libsndfile-refuses", f"libsndfile: {err}"])
        elif not PLAUSIBLE_RATES[0] <= info["rate"] <= PLAUSIBLE_RATES[1]:
            if got_a or got_b:
                res["disagree"].append(
                    ["implausible-rate-accepted", f"{info['rate']} Hz read as audio"]
                )
        elif not got_a:
            res["disagree"].append(
                [
                    "refuses-what-libsndfile-reads",
                    f"libsndfile reads {info['frames_read']} frames x {info['channels']} "
                    f"({info['subtype']}) at {info['rate']} Hz",
                ]
            )
        else:
            y, sr = a
            if sr != info["rate"]:
                res["disagree"].append(["rate-differs", f"{sr} Hz, libsndfile {info['rate']} Hz"])
            diff = _same(y, _mono(data))
            if diff:
                res["disagree"].append(["samples-differ", "file_load(path): " + diff])
            if got_b and info["rate"] == 16000:
                want = data[:, 0] if info["channels"] == 1 else data.T
                diff = _same(b[0], want)
                if diff:
                    res["disagree"].append(
                        ["samples-differ", "file_load(path, sr=16000, mono=False): " + diff]
                    )
            elif got_b and b[0].ndim == 2 and b[0].shape[0] != info["channels"]:
                res["disagree"].append(
                    [
                        "samples-differ",
                        f"mono=False gave {b[0].shape[0]} rows for {info['channels']} channels",
                    ]
                )
        child.report(k, res, t0)


def child_load_waves(child, jobs, start):
    import contextlib
    import io as _io

    from vemio.core import io

    for k in range(start, len(jobs)):
        folder = jobs[k]
        t0 = time.monotonic()
        res = {"fail": [], "disagree": []}
        on_disk = sorted(p for p in os.listdir(folder) if p.endswith(".wav"))
        out = _io.StringIO()
        try:
            child.stage(k, "check_input")
            accepted, _ = io.check_input(folder)
            child.stage(k, "file_load of each file")
            with contextlib.redirect_stdout(out):
                single = [io.file_load(p) for p in accepted]
            child.stage(k, "load_waves(folder, use_pool=True)")
            with contextlib.redirect_stdout(out):
                pooled = io.load_waves(folder, use_pool=True, core_=2)
        except MemoryError as e:
            res["fail"].append(["memory", _exc(e)])
            child.report(k, res, t0)
            continue
        except BaseException as e:
            res["fail"].append(["raised:" + type(e).__name__, _exc(e)])
            child.report(k, res, t0)
            continue
        res["outcome"] = "value"
        res["files"] = len(accepted)
        res["none"] = sum(s is None for s in single)
        if len(accepted) != len(on_disk):
            res["disagree"].append(
                [
                    "check_input-drops-files",
                    f"{len(on_disk) - len(accepted)} of {len(on_disk)} .wav files",
                ]
            )
        if not isinstance(pooled, list) or len(pooled) != len(accepted):
            res["fail"].append(
                [
                    "bad-return",
                    f"load_waves returned {type(pooled).__name__} of "
                    f"{len(pooled) if hasattr(pooled, '__len__') else '?'} for {len(accepted)} files",
                ]
            )
        else:
            for p, s, q in zip(accepted, single, pooled):
                if (s is None) != (q is None):
                    res["disagree"].append(
                        [
                            "pool-differs",
                            f"{p}: file_load {'None' if s is None else 'value'}, "
                            f"pooled {'None' if q is None else 'value'}",
                        ]
                    )
                elif s is not None and (s[1] != q[1] or _same(q[0], s[0], tol=0)):
                    res["disagree"].append(
                        ["pool-differs", f"{p}: {_same(q[0], s[0], tol=0) or 'rate differs'}"]
                    )
        child.report(k, res, t0)


_EVAL_TYPES = {
    "PCM_U8": "uint8",
    "PCM_16": "int16",
    "PCM_24": "int32",
    "PCM_32": "int32",
    "FLOAT": "float32",
    "DOUBLE": "float64",
}


def _ref_typed(path):
    """libsndfile's reading in the stored sample type, as the evaluator's reader promises it."""
    import soundfile as sf

    try:
        with sf.SoundFile(path) as f:
            info = {
                "rate": f.samplerate,
                "channels": f.channels,
                "format": f.format,
                "subtype": f.subtype,
            }
            if f.format not in ("WAV", "WAVEX", "RF64") or f.subtype not in _EVAL_TYPES:
                return info, None, None
            want = _EVAL_TYPES[f.subtype]
            if want == "uint8":
                data = ((f.read(dtype="int16", always_2d=True) >> 8) + 128).astype(np.uint8)
            else:
                data = f.read(dtype=want, always_2d=True)
        return info, (data[:, 0] if info["channels"] == 1 else data), None
    except Exception as e:
        return None, None, _exc(e)


def child_evaluator(child, jobs, start):
    from vemio.core import evaluator

    for k in range(start, len(jobs)):
        path = jobs[k]
        t0 = time.monotonic()
        res = {"fail": [], "disagree": []}
        child.stage(k, "reference")
        info, want, err = _ref_typed(path)
        res["ref"] = info if info else {"error": err}
        child.stage(k, "_read_wav")
        got = None
        try:
            got = evaluator._read_wav(path)
            res["outcome"] = "value"
        except (OSError, ValueError, RuntimeError) as e:
            res["outcome"] = "refused:" + type(e).__name__
            if str(path) not in str(e):
                res["fail"].append(["message-without-path", _exc(e)])
        except MemoryError as e:
            res["fail"].append(["memory", _exc(e)])
        except BaseException as e:
            res["fail"].append(["raised:" + type(e).__name__, _exc(e)])
        if got is not None:
            if not (isinstance(got, tuple) and len(got) == 2 and isinstance(got[1], np.ndarray)):
                res["fail"].append(["bad-return", f"{type(got).__name__} {str(got)[:80]}"])
                got = None
        if info is None or want is None:
            if got is not None:
                res["disagree"].append(
                    [
                        "reads-what-libsndfile-refuses",
                        f"libsndfile: {err}"
                        if info is None
                        else f"libsndfile: {info['format']}/{info['subtype']}, not a PCM/float WAV",
                    ]
                )
        elif got is None:
            # a reader may refuse a rate no recording has, as the loader does
            plausible = PLAUSIBLE_RATES[0] <= info["rate"] <= PLAUSIBLE_RATES[1]
            if "outcome" in res and plausible:
                res["disagree"].append(
                    [
                        "refuses-what-libsndfile-reads",
                        f"libsndfile reads {info['subtype']} at {info['rate']} Hz",
                    ]
                )
        else:
            rate, arr = got
            if rate != info["rate"]:
                res["disagree"].append(["rate-differs", f"{rate} Hz, libsndfile {info['rate']} Hz"])
            if arr.dtype != want.dtype:
                res["disagree"].append(["type-differs", f"{arr.dtype}, libsndfile {want.dtype}"])
            else:
                diff = _same(arr, want, tol=0)
                if diff:
                    res["disagree"].append(["samples-differ", diff])
        child.report(k, res, t0)


PESQ_REASONS = (
    ("cannot read audio", "cannot-read"),
    ("Hz but +", "rate-mismatch"),
    ("too short", "too-short"),
    ("no utterances", "no-utterances"),
    ("NaN or infinite", "not-finite"),
    ("silent", "silent"),
)


def child_pesq(child, jobs, start, exe, timeout):
    for k in range(start, len(jobs)):
        ref, deg = jobs[k]
        t0 = time.monotonic()
        res = {"fail": [], "disagree": []}
        child.stage(k, "pesq.exe")
        try:
            p = subprocess.run(
                [exe, "+16000", ref, deg],
                capture_output=True,
                text=True,
                errors="replace",
                timeout=timeout,
            )
        except subprocess.TimeoutExpired:
            res["fail"].append(["timeout", f"pesq.exe did not finish within {timeout:g} s"])
            child.report(k, res, t0)
            continue
        err = p.stderr.strip()
        res["rc"] = p.returncode
        res["message"] = err[:300]
        if p.returncode < 0:
            res["fail"].append(["signal:" + signal.Signals(-p.returncode).name, err[-300:]])
        elif "bad_alloc" in err or "memory" in err.lower():
            res["fail"].append(["memory", err[:300]])
        elif p.returncode == 0:
            lines = p.stdout.strip().splitlines()
            try:
                score = float(lines[-1].rsplit("= ", 1)[1])
            except (IndexError, ValueError):
                res["fail"].append(["no-score", f"exit 0 but no score line: {p.stdout[-200:]!r}"])
            else:
                res["outcome"] = "score"
                res["score"] = score
                if not math.isfinite(score):
                    res["fail"].append(["nan-score", lines[-1]])
        elif not err:
            res["fail"].append(["silent-failure", f"exit status {p.returncode} without a message"])
        else:
            reason = next((kind for text, kind in PESQ_REASONS if text in err), "other")
            res["outcome"] = "refused:" + reason
        child.report(k, res, t0)


def child_selftest(child, jobs, start):
    """Jobs named after what they do, to check the runner: "crash", "hang", "memory", "ok"."""
    for k in range(start, len(jobs)):
        t0 = time.monotonic()
        child.stage(k, jobs[k])
        if jobs[k] == "crash":
            os.kill(os.getpid(), signal.SIGSEGV)
        elif jobs[k] == "hang":
            time.sleep(3600)
        elif jobs[k] == "memory":
            hog = np.ones((child.mem_flag // 1024 + 64) << 18, np.float32)  # touched, so resident
            del hog
        child.report(k, {"outcome": "value", "fail": [], "disagree": []}, t0)


def child_main(args):
    faulthandler.enable()
    resource.setrlimit(resource.RLIMIT_AS, (args.memory_limit, args.memory_limit))
    with open(args.jobs) as fh:
        jobs = json.load(fh)
    child = Child(args.progress, args.results, args.mem_flag_mb)
    if args.child == "file_load":
        child_file_load(child, jobs, args.start)
    elif args.child == "load_waves":
        child_load_waves(child, jobs, args.start)
    elif args.child == "evaluator":
        child_evaluator(child, jobs, args.start)
    elif args.child == "pesq":
        child_pesq(child, jobs, args.start, args.pesq_exe, args.timeout * 0.8)
    else:
        child_selftest(child, jobs, args.start)


# ---------------------------------------------------------------------------------------------
# The runner


def find_pesq_exe():
    """An explicit choice, the newest pesq.exe built in this repository's build folders, PATH."""
    if os.environ.get("VEMIO_PESQ_EXE"):
        return os.environ["VEMIO_PESQ_EXE"]
    built = [c for c in ROOT.glob("build/*/pesq.exe") if c.is_file() and os.access(c, os.X_OK)]
    if built:
        return str(max(built, key=lambda c: c.stat().st_mtime))
    return shutil.which("pesq.exe")


def vemio_location(prefer_inplace=False):
    """The folder holding the vemio package the children import: modules built in place in this
    repository when asked for and present, else the vemio this interpreter would import."""
    import importlib.util

    if prefer_inplace and list((ROOT / "python" / "vemio" / "core").glob("io*.so")):
        return str(ROOT / "python")
    spec = importlib.util.find_spec("vemio")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError("vemio is neither installed nor built in place (python/vemio)")
    return str(Path(list(spec.submodule_search_locations)[0]).parent)


def child_env(vemio_path=None):
    env = dict(os.environ)
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = "1"
    path = [vemio_path or vemio_location()] + [
        p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p
    ]
    env["PYTHONPATH"] = os.pathsep.join(path)
    return env


def _last_progress(path):
    try:
        with open(path, "rb") as fh:
            fh.seek(0, os.SEEK_END)
            size = fh.tell()
            fh.seek(max(0, size - 256))
            lines = fh.read().decode().strip().splitlines()
    except OSError:
        return None
    if not lines:
        return None
    k, _, stage = lines[-1].partition(" ")
    return int(k), stage


def run_jobs(
    target,
    jobs,
    work,
    timeout,
    env,
    pesq_exe=None,
    mem_flag_mb=MEMORY_FLAG_MB,
    memory_limit=MEMORY_LIMIT,
):
    """Results (one dict per job, in order) of `target` on `jobs`, restarting the child after
    every crash, hang or memory blow-up."""
    work.mkdir(parents=True, exist_ok=True)
    jobs_path, res_path = work / f"{target}.jobs.json", work / f"{target}.results.jsonl"
    prog_path, log_path = work / f"{target}.progress", work / f"{target}.log"
    jobs_path.write_text(json.dumps(jobs))
    res_path.write_text("")
    results = {}
    start = 0
    with open(log_path, "ab") as log:
        while start < len(jobs):
            prog_path.write_text("")
            cmd = [
                sys.executable,
                str(Path(__file__).resolve()),
                "--child",
                target,
                "--jobs",
                str(jobs_path),
                "--start",
                str(start),
                "--progress",
                str(prog_path),
                "--results",
                str(res_path),
                "--timeout",
                str(timeout),
                "--mem-flag-mb",
                str(mem_flag_mb),
                "--memory-limit",
                str(memory_limit),
            ]
            if pesq_exe:
                cmd += ["--pesq-exe", pesq_exe]
            proc = subprocess.Popen(
                cmd,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=log,
                env=env,
                start_new_session=True,
            )
            current, since, hung = None, time.monotonic(), None
            while True:
                try:
                    rc = proc.wait(timeout=0.02)
                    break
                except subprocess.TimeoutExpired:
                    pass
                now = time.monotonic()
                prog = _last_progress(prog_path)
                k = prog[0] if prog else None
                if k != current:
                    current, since = k, now
                elif now - since > timeout + (20 if k is None else 0):  # startup gets more time
                    hung = prog
                    _kill_group(proc)
                    rc = proc.wait()
                    break
            _kill_group(proc)  # pool workers left behind by a crash
            with open(res_path) as fh:
                for line in fh:
                    if line.strip():
                        r = json.loads(line)
                        results[r["k"]] = r
            last = _last_progress(prog_path)
            if hung is not None or (rc != 0 and last and last[0] not in results):
                if last is None:
                    raise RuntimeError(
                        f"the {target} child did not start (status {rc}); see {log_path}"
                    )
                k, stage = last
                if hung is not None:
                    kind, detail = "timeout", f"no answer within {timeout:g} s ({stage})"
                elif rc < 0:
                    kind, detail = "signal:" + signal.Signals(-rc).name, f"died in {stage}"
                else:
                    kind, detail = f"exit:{rc}", f"the process ended in {stage}"
                results[k] = {"k": k, "fail": [[kind, detail]], "disagree": []}
                start = k + 1
            elif rc == 0 or rc == RESTART:
                start = max(results) + 1 if results else len(jobs)
                if rc == 0 and start < len(jobs):
                    raise RuntimeError(
                        f"the {target} child stopped early without a reason; see {log_path}"
                    )
            else:
                raise RuntimeError(
                    f"the {target} child failed between jobs (status {rc}); see {log_path}"
                )
    return [
        results.get(k, {"k": k, "fail": [["lost", "no result"]], "disagree": []})
        for k in range(len(jobs))
    ]


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _slug(text):
    return re.sub(r"[^A-Za-z0-9_.=-]+", "_", text)[:60]


class Summary:
    def __init__(self):
        self.tried = collections.Counter()
        self.outcomes = collections.defaultdict(collections.Counter)
        self.failures = []  # dicts: target, kind, detail, files, made, kept
        self.disagreements = []
        self.slowest = []  # (secs, target, files)
        self.files = 0
        self.references = {}  # path -> libsndfile's verdict (from the file_load child)
        self.started = time.monotonic()

    def by_kind(self, what, target=None):
        items = self.failures if what == "failures" else self.disagreements
        return collections.Counter(c["kind"] for c in items if target in (None, c["target"]))

    def of(self, target, what="failures"):
        items = self.failures if what == "failures" else self.disagreements
        return [c for c in items if c["target"] == target]


def _record(summary, target, results, files_of, made_of, failures_dir, keep_per_kind):
    for r in results:
        files = files_of(r["k"])
        summary.tried[target] += 1
        summary.outcomes[target][r.get("outcome", "failure")] += 1
        if "secs" in r:
            summary.slowest.append((r["secs"], target, files))
        for what, items in (
            ("failures", r.get("fail", [])),
            ("disagreements", r.get("disagree", [])),
        ):
            for item in items:
                kind, detail = item[:2]
                # a case may name the file at fault (one of a pesq.exe pair): it goes first
                at_fault = (
                    [item[2]] + [f for f in files if f != item[2]] if len(item) > 2 else files
                )
                case = {
                    "target": target,
                    "kind": kind,
                    "detail": detail,
                    "files": at_fault,
                    "made": [made_of(f) for f in at_fault],
                    "kept": [],
                }
                if what == "failures":
                    summary.failures.append(case)
                else:
                    summary.disagreements.append(case)
                if failures_dir is not None:
                    _keep(case, failures_dir, what, keep_per_kind, summary)
    summary.slowest = sorted(summary.slowest, reverse=True)[:5]


def _keep(case, failures_dir, what, keep_per_kind, summary):
    """Every case goes to <target>/<kind>/cases.jsonl; the files of the first few are copied."""
    folder = failures_dir / case["target"] / _slug(case["kind"])
    items = summary.failures if what == "failures" else summary.disagreements
    same = sum(1 for c in items if c["target"] == case["target"] and c["kind"] == case["kind"])
    folder.mkdir(parents=True, exist_ok=True)
    if same <= keep_per_kind:
        for f in case["files"]:
            src = Path(f)
            dst = folder / (src.parent.name + "-" + src.name)
            if src.is_dir():
                if not dst.exists():
                    shutil.copytree(src, dst)
            elif src.exists():
                shutil.copyfile(src, dst)
            case["kept"].append(str(dst))
    with open(folder / "cases.jsonl", "a") as fh:
        fh.write(json.dumps(case) + "\n")


def run(
    out,
    seed=1,
    count=None,
    seconds=None,
    batch=400,
    dictionary="all",
    targets=TARGETS,
    pesq_exe=None,
    timeouts=None,
    keep_corpus=False,
    failures_dir=None,
    keep_per_kind=20,
    log=print,
    mem_flag_mb=MEMORY_FLAG_MB,
    vemio_path=None,
):
    """Generate mutated files in folders of `batch` and pass them through `targets` until
    `count` files or `seconds` are done. Returns a Summary."""
    out = Path(out)
    timeouts = {**DEFAULT_TIMEOUTS, **(timeouts or {})}
    if "pesq" in targets and not pesq_exe:
        pesq_exe = find_pesq_exe()
        if not pesq_exe:
            log("[fuzz] pesq.exe not found (build it or set VEMIO_PESQ_EXE): pesq target skipped")
            targets = tuple(t for t in targets if t != "pesq")
    failures_dir = Path(failures_dir) if failures_dir else out / "failures"
    if failures_dir.exists():  # the previous run's reproducers stay one run longer
        previous = failures_dir.with_name(failures_dir.name + ".previous")
        shutil.rmtree(previous, ignore_errors=True)
        failures_dir.rename(previous)
    mutator = Mutator(seed, dictionary)
    env = child_env(vemio_path)
    summary = Summary()
    made = {}
    index = 0
    b = 0
    if count is None and seconds is None:
        count = batch
    while (count is None or index < count) and (
        seconds is None or time.monotonic() - summary.started < seconds
    ):
        n = batch if count is None else min(batch, count - index)
        folder = out / "corpus" / f"b{seed}-{b:04d}"
        folder.mkdir(parents=True, exist_ok=True)
        paths = []
        for i in range(index, index + n):
            data, seed_name, ops = mutator.make(i)
            p = folder / f"f{i:06d}.wav"
            p.write_bytes(data)
            paths.append(str(p))
            made[str(p)] = {
                "seed": seed,
                "index": i,
                "from": seed_name,
                "ops": ops,
                "header": describe(data),
            }
        with open(folder / "manifest.jsonl", "w") as fh:
            for p in paths:
                fh.write(json.dumps({"file": p, **made[p]}) + "\n")
        work = out / "work" / folder.name
        for target in targets:
            if target == "load_waves":
                jobs = [str(folder)]
                files_of = lambda k, folder=folder: [str(folder)]
            elif target == "pesq":
                jobs = [[paths[k], paths[(k + 1) % len(paths)]] for k in range(len(paths))]
                files_of = lambda k, jobs=jobs: jobs[k]
            else:
                jobs = paths
                files_of = lambda k, jobs=jobs: [jobs[k]]
            results = run_jobs(target, jobs, work, timeouts[target], env, pesq_exe, mem_flag_mb)
            if target == "file_load":
                for p, r in zip(paths, results):
                    summary.references[p] = r.get("ref")
            if target == "pesq":
                _cross_check_pesq(summary, jobs, results)
            _record(
                summary,
                target,
                results,
                files_of,
                lambda f: made.get(f, {"folder": f}),
                failures_dir,
                keep_per_kind,
            )
        summary.files += n
        index += n
        b += 1
        log(
            f"[fuzz] {summary.files} files, {len(summary.failures)} failures, "
            f"{len(summary.disagreements)} disagreements, {time.monotonic() - summary.started:.0f} s"
        )
        if not keep_corpus:
            shutil.rmtree(folder, ignore_errors=True)
            shutil.rmtree(work, ignore_errors=True)
    summary.elapsed = time.monotonic() - summary.started
    summary.targets = targets
    return summary


def _readable(ref):
    return bool(ref) and "rate" in ref and PLAUSIBLE_RATES[0] <= ref["rate"] <= PLAUSIBLE_RATES[1]


def _cross_check_pesq(summary, jobs, results):
    """pesq.exe reads with the loader's decoder: it must not score a file libsndfile refuses,
    nor call a file unreadable that libsndfile reads."""
    for (ref, deg), r in zip(jobs, results):
        refs = [summary.references.get(f, "unknown") for f in (ref, deg)]
        if "unknown" in refs or any(x is None for x in refs):
            continue
        if r.get("outcome") == "score":
            bad = [f for f, x in zip((ref, deg), refs) if "error" in x]
            if bad:
                r["disagree"].append(
                    [
                        "scores-what-libsndfile-refuses",
                        f"{bad[0]}: {refs[(ref, deg).index(bad[0])]['error']}",
                        bad[0],
                    ]
                )
        elif r.get("outcome") == "refused:cannot-read":
            named = (
                ref if ref in r.get("message", "") else deg if deg in r.get("message", "") else None
            )
            if named and _readable(refs[(ref, deg).index(named)]):
                r["disagree"].append(["refuses-what-libsndfile-reads", r["message"][:200], named])


def format_summary(s):
    lines = [f"files: {s.files} mutated files in {s.elapsed:.0f} s"]
    for t in s.targets:
        kinds = ", ".join(f"{k} {n}" for k, n in sorted(s.outcomes[t].items()))
        lines.append(f"  {t:10s} {s.tried[t]:6d} jobs: {kinds}")
    for what in ("failures", "disagreements"):
        items = s.failures if what == "failures" else s.disagreements
        lines.append(f"{what}: {len(items)}")
        for t in s.targets:
            for kind, n in sorted(s.by_kind(what, t).items()):
                lines.append(f"  {t:10s} {kind}: {n}")
                for c in [c for c in items if c["target"] == t and c["kind"] == kind][:5]:
                    made = c["made"][0] if c["made"] else {}
                    how = f"{made.get('from', '')} {'; '.join(made.get('ops', []))}".strip()
                    where = c["kept"][0] if c["kept"] else c["files"][0]
                    lines.append(
                        f"      {where}\n        {c['detail']}\n        made: {how}\n        header: {made.get('header', '')}"
                    )
    if s.slowest:
        lines.append(
            "slowest jobs: "
            + "; ".join(f"{t} {secs:.2f} s {Path(f[0]).name}" for secs, t, f in s.slowest)
        )
    return "\n".join(lines)


def replay(paths, targets, timeouts, pesq_exe, vemio_path):
    """Run the targets on given files (pesq.exe on each file against itself) and print every result."""
    work = ROOT / "out" / "fuzz" / "replay"
    env = child_env(vemio_path)
    paths = [str(Path(p).resolve()) for p in paths]
    for target in targets:
        if target == "load_waves":
            continue
        if target == "pesq":
            pesq_exe = pesq_exe or find_pesq_exe()
            if not pesq_exe:
                continue
            jobs = [[p, p] for p in paths]
        else:
            jobs = paths
        for r in run_jobs(target, jobs, work, timeouts[target], env, pesq_exe):
            print(
                f"{target} {Path(paths[r['k']]).name}: {r.get('outcome', 'failure')} "
                f"fail={r.get('fail')} disagree={r.get('disagree')} ref={r.get('ref')}"
            )


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--seed", type=int, default=1, help="run seed: the same seed makes the same files"
    )
    ap.add_argument("--count", type=int, help="number of mutated files (default: one batch)")
    ap.add_argument(
        "--seconds", type=float, help="stop starting new batches after this many seconds"
    )
    ap.add_argument(
        "--batch", type=int, default=400, help="files per folder (load_waves pools above 300)"
    )
    ap.add_argument(
        "--dictionary",
        choices=("all", "one"),
        default="all",
        help="targeted edits on every seed file, or on two seed files each",
    )
    ap.add_argument(
        "--targets",
        default=",".join(TARGETS),
        help="comma-separated subset of " + ",".join(TARGETS),
    )
    ap.add_argument(
        "--out", default=str(ROOT / "out" / "fuzz"), help="work folder; reproducers in OUT/failures"
    )
    ap.add_argument(
        "--keep-corpus", action="store_true", help="keep every generated file, not only reproducers"
    )
    ap.add_argument(
        "--replay",
        nargs="+",
        metavar="WAV",
        help="run the targets on these files and print the results",
    )
    ap.add_argument(
        "--pesq-exe", help="pesq.exe to run (default: newest build/*/pesq.exe, then PATH)"
    )
    ap.add_argument(
        "--timeout", type=float, help="seconds a single job may take (default per target)"
    )
    ap.add_argument(
        "--mem-flag-mb",
        type=int,
        default=MEMORY_FLAG_MB,
        help="peak-memory growth that counts as a blow-up",
    )
    ap.add_argument("--memory-limit", type=int, default=MEMORY_LIMIT, help=argparse.SUPPRESS)
    ap.add_argument("--child", choices=TARGETS + ("_selftest",), help=argparse.SUPPRESS)
    ap.add_argument("--jobs", help=argparse.SUPPRESS)
    ap.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--progress", help=argparse.SUPPRESS)
    ap.add_argument("--results", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child_main(args)
        return 0
    targets = tuple(t for t in args.targets.split(",") if t)
    unknown = set(targets) - set(TARGETS)
    if unknown:
        ap.error(f"unknown target(s): {', '.join(sorted(unknown))}")
    timeouts = dict(DEFAULT_TIMEOUTS)
    if args.timeout:
        timeouts = {t: args.timeout for t in TARGETS}
    vemio_path = vemio_location(prefer_inplace=True)
    pesq_exe = args.pesq_exe or find_pesq_exe()
    print(f"[fuzz] vemio from {vemio_path}; pesq.exe: {pesq_exe or 'not found'}")
    if args.replay:
        replay(args.replay, targets, timeouts, pesq_exe, vemio_path)
        return 0
    s = run(
        args.out,
        seed=args.seed,
        count=args.count,
        seconds=args.seconds,
        batch=args.batch,
        dictionary=args.dictionary,
        targets=targets,
        pesq_exe=pesq_exe,
        timeouts=timeouts,
        keep_corpus=args.keep_corpus,
        mem_flag_mb=args.mem_flag_mb,
        vemio_path=vemio_path,
    )
    print(format_summary(s))
    print(f"reproducers: {Path(args.out) / 'failures'}")
    return 1 if s.failures or s.disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
