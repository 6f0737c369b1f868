#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Figures and markdown tables for scripts/udp-rehearsal.sh.

  udp-rehearsal-report.py line DIR                      one run, one line
  udp-rehearsal-report.py shaped|loss|multicast DIR...  a table of runs

Each DIR holds meta (key=value), send.out and rx<i>.json (receive --json).
"""
import json
import re
import statistics
import sys
import textwrap
from pathlib import Path

# Wire bytes per frame byte at the default parity, headers included: tells
# which streams a link should carry.
DEFAULT_WIRE_RATIO = 1.17


def read_meta(d):
    meta = {}
    for line in (d / "meta").read_text().splitlines():
        key, _, value = line.partition("=")
        meta[key] = value
    return meta


def num(meta, key, default=None):
    v = meta.get(key, "")
    try:
        return float(v) if "." in v else int(v)
    except ValueError:
        return default


def read_send(d):
    text = (d / "send.out").read_text() if (d / "send.out").exists() else ""
    s = {}
    if m := re.search(r"encoded (\d+), sent (\d+), dropped (\d+)", text):
        s["encoded"], s["sent"], s["dropped"] = map(int, m.groups())
    if m := re.search(r"parity (\d+)%", text):
        s["parity"] = int(m.group(1))
    if m := re.search(r"datagrams resent (\d+)", text):
        s["resent"] = int(m.group(1))
    return s


def read_receiver(path):
    """The summary record, with latency from the per-second records if the
    summary has none (marked approximate)."""
    if not path.exists():
        return None
    summary, seconds = None, []
    for line in path.read_text().splitlines():
        try:
            rec = json.loads(line)
        except ValueError:
            continue
        if rec.get("summary"):
            summary = rec
        else:
            seconds.append(rec)
    if summary is None:
        return None
    r = dict(summary)
    lat = summary.get("latency_us")
    if lat:
        r["p50_ms"], r["p99_ms"], r["latency_note"] = lat["p50"] / 1000, lat["p99"] / 1000, ""
    else:
        per_second = [s["latency_us"] for s in seconds if s.get("latency_us")]
        if per_second:
            r["p50_ms"] = statistics.median(p["p50"] for p in per_second) / 1000
            r["p99_ms"] = max(p["p99"] for p in per_second) / 1000
            r["latency_note"] = "~"
    peaks = [s["loss_percent"] for s in seconds if isinstance(s.get("loss_percent"), (int, float))]
    if isinstance(summary.get("loss_percent"), (int, float)):
        peaks.append(summary["loss_percent"])
    if peaks:
        r["loss_percent_peak"] = max(peaks)
    r["intact"] = summary.get("frames_received", 0) - (summary.get("frames_corrupt") or 0)
    return r


def load(d):
    d = Path(d)
    meta = read_meta(d)
    run = {"dir": d, "meta": meta, "failed": meta.get("failed")}
    if run["failed"]:
        return run
    run["send"] = read_send(d)
    run["rx"] = [read_receiver(d / f"rx{i}.json") for i in range(num(meta, "receivers", 0))]
    sent = run["send"].get("sent")
    fb = num(meta, "frame_bytes")
    tx = num(meta, "tx_bytes")
    run["wire"] = tx / (sent * fb) if sent and fb and tx is not None else None
    return run


# ---- Cells ------------------------------------------------------------------


def ms(rx):
    if not rx or "p50_ms" not in rx:
        return "–"
    return f"{rx['p50_ms']:.1f} / {rx['p99_ms']:.1f}{rx['latency_note']}"


def pair(rx, a, b):
    if not rx or a not in rx:
        return "–"
    return f"{rx[a]} / {rx.get(b, '–')}"


def intact(run, i=0):
    rx = run["rx"][i] if run.get("rx") and i < len(run["rx"]) else None
    if rx is None:
        return "no summary"
    bad = rx.get("frames_corrupt") or 0
    rc = num(run["meta"], f"rx{i}_rc", 0)
    why = [f"{bad} corrupt"] if bad else []
    if rx.get("frames_incomplete"):
        why.append(f"{rx['frames_incomplete']} incomplete")
    if rx.get("frames_dropped"):
        why.append(f"{rx['frames_dropped']} unread")
    extra = f" ({', '.join(why)})" if why else ""
    if rc not in (0, 3):
        extra += f" (exit {rc})"
    return f"{rx['intact']}{extra}"


def sent(run):
    s = run["send"]
    frames = num(run["meta"], "frames")
    if "sent" not in s:
        return f"? of {frames} (send exit {run['meta'].get('send_rc')})"
    return f"{s['sent']} of {frames}"


def wire(run):
    return f"{run['wire']:.3f}" if run.get("wire") is not None else "–"


def nft_share(meta, i, way):
    total, dropped = num(meta, f"rx{i}_nft_{way}_all"), num(meta, f"rx{i}_nft_{way}_drop")
    if total is None:
        return "–"
    dropped = dropped or 0
    return f"{dropped} of {total} ({100 * dropped / total:.1f}%)" if total else "0 of 0"


def has_repair(runs):
    return any(rx and "datagrams_requested" in rx for r in runs if not r["failed"] for rx in r["rx"])


def has_sender_udp(runs):
    return any("parity" in r["send"] for r in runs if not r["failed"])


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def repair_cells(rx):
    rx = rx or {}
    seen = "–"
    if isinstance(rx.get("loss_percent"), (int, float)):
        seen = f"{rx['loss_percent']:.1f} / {rx.get('loss_percent_peak', rx['loss_percent']):.1f}"
    return [pair(rx, "datagrams_requested", "datagrams_repaired"), rx.get("repair_state", "–"), seen]


def sender_cells(run):
    s = run["send"]
    return [f"{s.get('parity', '–')} / {s.get('resent', '–')}"]


# ---- Tables -----------------------------------------------------------------


def line(d):
    run = load(d)
    m = run["meta"]
    if run["failed"]:
        return f"  {m.get('label')}: {run['failed']}"
    parts = [f"sent {sent(run)}"]
    for i, rx in enumerate(run["rx"]):
        who = f"rx{i + 1} " if len(run["rx"]) > 1 else ""
        parts.append(f"{who}intact {intact(run, i)}, p50/p99 {ms(rx)} ms, lost/recovered "
                     f"{pair(rx, 'datagrams_lost', 'datagrams_recovered')}")
    parts.append(f"wire {wire(run)}")
    return f"  {m.get('label')}: " + "; ".join(parts)


def columns(runs, first, last):
    """The header of a detail table, and whether its runs have repair and sender figures."""
    header = first + ["frames sent", "intact", "wire B / frame B", "latency p50 / p99 ms", "datagrams lost / recovered"]
    rep, snd = has_repair(runs), has_sender_udp(runs)
    if rep:
        header += ["requested / repaired", "repair", "loss seen % end / peak"]
    if snd:
        header += ["parity % / resent"]
    return header + last, rep, snd


def detail_rows(runs, header, rows_of):
    """The rows of a detail table: rows_of(run) for each run, a line saying why for a failed one."""
    rows = []
    for r in runs:
        if r["failed"]:
            rows.append([r["meta"].get("label"), r["failed"]] + [""] * (len(header) - 2))
        else:
            rows += rows_of(r)
    return rows


def receiver_row(first, run, i, rep, snd):
    """One receiver of a run behind nftables, in the columns of columns()."""
    m, rx = run["meta"], run["rx"][i]
    row = first + [sent(run), intact(run, i), wire(run), ms(rx), pair(rx, "datagrams_lost", "datagrams_recovered")]
    if rep:
        row += repair_cells(rx)
    if snd:
        row += sender_cells(run)
    return row + [nft_share(m, i, "in"), nft_share(m, i, "out"), m.get(f"rx{i}_rcvbuf_errors", "–")]


def pixels(size):
    w, _, h = size.partition("x")
    return int(w) * int(h)


def shaped(runs):
    ok = [r for r in runs if not r["failed"]]
    link = num(ok[0]["meta"], "link_mbit", 60) if ok else 60
    sizes = sorted({r["meta"]["size"] for r in ok}, key=pixels)
    rates = sorted({num(r["meta"], "fps") for r in ok})
    caps = sorted({r["meta"].get("rate_cap", "") for r in ok})
    out = [f"## shaped: tbf {link} Mbit/s (burst 64kb, latency 50ms), MTU 1500, offload on",
           "Frames intact at the receiver of the frames handed to send; `!` marks a cell whose "
           f"stream (image bytes x fps x {DEFAULT_WIRE_RATIO}) fits in the link yet lost frames."]
    for cap in caps:
        out.append(f"**{'send --rate ' + cap if cap else 'no rate cap'}**")
        rows = []
        for size in sizes:
            row = [size]
            for fps in rates:
                run = next((r for r in ok if r["meta"]["size"] == size and num(r["meta"], "fps") == fps
                            and r["meta"].get("rate_cap", "") == cap), None)
                if not run:
                    row.append("")
                    continue
                frames = num(run["meta"], "frames")
                rx = run["rx"][0]
                got = rx["intact"] if rx else 0
                need = num(run["meta"], "frame_bytes") * fps * 8 * DEFAULT_WIRE_RATIO / 1e6
                flag = " !" if need < link and got < frames else ""
                row.append(f"{got if rx else intact(run)} of {frames}{flag}")
            rows.append(row)
        out.append(table(["size \\ fps"] + [str(f) for f in rates], rows))
    header, rep, snd = columns(runs, ["size", "fps", "rate cap", "image Mbit/s"], ["tbf drops", "rcvbuf drops", "s"])
    rows = []
    for r in runs:
        m = r["meta"]
        if r["failed"]:
            rows.append([m.get("label"), r["failed"]] + [""] * (len(header) - 2))
            continue
        rx = r["rx"][0]
        mbit = num(m, "frame_bytes") * num(m, "fps") * 8 / 1e6
        row = [m["size"], m["fps"], m.get("rate_cap") or "–", f"{mbit:.1f}", sent(r), intact(r), wire(r), ms(rx),
               pair(rx, "datagrams_lost", "datagrams_recovered")]
        if rep:
            row += repair_cells(rx)
        if snd:
            row += sender_cells(r)
        row += [m.get("qdisc_drops", "–"), m.get("rx0_rcvbuf_errors", "–"), m.get("seconds", "")]
        rows.append(row)
    out.append("**Every run**")
    out.append(table(header, rows))
    out.append(notes(NOTES + SHAPED_NOTES))
    return "\n\n".join(out)


def loss(runs):
    ok = [r for r in runs if not r["failed"]]
    m0 = ok[0]["meta"] if ok else {}
    out = [f"## loss: {m0.get('size', '?')}x24 raw at {m0.get('fps', '?')} fps, unicast, "
           "default settings (GSO segmented by the sender's veth)",
           "`random`: nftables in the receiver's namespace drops the share of UDP coming in (frames, "
           "repairs) and going out (requests, reports). `burst`: the sender drops its own datagrams "
           "(send --loss P,burst=N, after parity, so they never reach the wire); nftables drops the "
           "same share of the return path only. `repair`: receive's defaults; `parity`: "
           "--repair-budget 0."]
    header, rep, snd = columns(runs, ["loss", "how", "protection"], ["nft dropped in", "nft dropped out", "rcvbuf drops"])

    def rows_of(r):
        m = r["meta"]
        how = "random" if m.get("kind") == "random" else f"bursts of {m.get('burst')}"
        return [receiver_row([f"{m.get('loss')}%", how, m.get("mode")], r, 0, rep, snd)]
    out.append(table(header, detail_rows(runs, header, rows_of)))
    out.append(notes(NOTES))
    return "\n\n".join(out)


def multicast(runs):
    ok = [r for r in runs if not r["failed"]]
    m0 = ok[0]["meta"] if ok else {}
    out = [f"## multicast: one sender, two receivers on a bridge, group {m0.get('group', '?')}, "
           f"{m0.get('size', '?')}x24 raw at {m0.get('fps', '?')} fps, default settings",
           "Each receiver's nftables drops its share of the UDP coming in and going out. Wire bytes are "
           "the sender's link, once for both receivers."]
    header, rep, snd = columns(runs, ["protection", "receiver", "loss"], ["nft dropped in", "nft dropped out", "rcvbuf drops"])

    def rows_of(r):
        m = r["meta"]
        return [receiver_row([m.get("mode"), f"rx{i + 1}", f"{m.get(f'rx{i}_loss')}%"], r, i, rep, snd)
                for i in range(len(r["rx"]))]
    out.append(table(header, detail_rows(runs, header, rows_of)))
    out.append(notes(NOTES))
    return "\n\n".join(out)


NOTES = """Frames sent: frames the sender's encoder put on the wire, of those handed to it (the rest it
replaced, unsent, when the next came before it could leave). Intact: frames the receiver
delivered that passed the check; incomplete: frames it gave up; unread: frames its decoder replaced
before the checking reader took them (a busy CPU). Wire B / frame B: tx_bytes of the sender's veth (Ethernet
header included, 14 B a packet) over frames sent x frame bytes. Latency: kivEncode to delivery,
over every frame of the run (`~`: median and highest of the per-second figures instead).
Datagrams lost / recovered: data datagrams missing when their frame was finished, and of those
rebuilt from parity or repaired. Requested / repaired, repair, loss seen: the receiver's
repair requests and its own estimate of the loss on the way (at the end, and its highest
once-a-second figure). Parity % / resent: the sender's
parity at the end of the run and the datagrams it sent again. Rcvbuf drops: the receiving
namespace's UDP RcvbufErrors."""

SHAPED_NOTES = """ The shaped link's wire bytes are those that passed the
shaper; tbf drops are the datagrams it discarded. The sender's veth segments GSO buffers itself
(gso_max_segs 1) so that its counters see every datagram."""


def notes(text):
    return textwrap.fill(" ".join(text.split()), 100)


def check(minimum, d):
    """True when every receiver of the run got at least `minimum` percent of its frames intact."""
    run = load(d)
    frames = num(run["meta"], "frames", 0)
    if run["failed"] or not run["rx"] or not frames:
        print(f"  check: {run['meta'].get('label')}: no result")
        return False
    ok = True
    for i, rx in enumerate(run["rx"]):
        share = 100.0 * (rx.get("intact") or 0) / frames
        if share < minimum:
            print(f"  check: {run['meta'].get('label')}: receiver {i + 1} got {share:.1f}% intact, under {minimum}%")
            ok = False
    return ok


def main():
    cmd, dirs = sys.argv[1], sys.argv[2:]
    if cmd == "line":
        print(line(dirs[0]))
        return
    if cmd == "check":
        sys.exit(0 if check(float(dirs[0]), dirs[1]) else 1)
    runs = [load(d) for d in dirs if (Path(d) / "meta").exists()]
    if not runs:
        print(f"## {cmd}: no runs\n")
        return
    print({"shaped": shaped, "loss": loss, "multicast": multicast}[cmd](runs))


if __name__ == "__main__":
    main()
