#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What scraping costs a receiver: a 320x240x24 memory stream at 60 fps,
received for --seconds with --metrics, scraped every 100 ms or not at all, in
alternating runs. Prints the receiver's CPU time (user + system, from the
kernel's accounting of the finished process) as a share of one core, each run
and the median of each kind, and the load average. Loopback only.

  python3 scripts/metrics-scrape-cost.py [--kivstream PATH] [--runs N] [--seconds S]
"""
import argparse, os, statistics, subprocess, threading, time, urllib.request

here = os.path.dirname(os.path.abspath(__file__))
ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
ap.add_argument("--kivstream", default=os.path.join(here, "..", "build", "default", "tools", "kivstream"))
ap.add_argument("--runs", type=int, default=4, help="runs of each kind (default 4)")
ap.add_argument("--seconds", type=float, default=15, help="each run's length (default 15)")
ap.add_argument("--port", type=int, default=9469)
ap.add_argument("--stream", type=int, default=24800)
a = ap.parse_args()


def one(scrape):
    rx = subprocess.Popen([a.kivstream, "receive", "--stream", str(a.stream), "--seconds", str(a.seconds),
                           "--metrics", str(a.port)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    rx.stderr.readline()  # "metrics on ...": it listens
    tx = subprocess.Popen([a.kivstream, "send", "--stream", str(a.stream), "--size", "320x240", "--fps", "60",
                           "--seconds", str(a.seconds + 1)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scrapes, done = [0], threading.Event()

    def loop():
        due = time.monotonic()
        while not done.is_set():
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{a.port}/metrics", timeout=2).read()
                scrapes[0] += 1
            except OSError:
                pass
            due += 0.1
            time.sleep(max(0.0, due - time.monotonic()))

    t = threading.Thread(target=loop)
    if scrape:
        t.start()
    _, status, usage = os.wait4(rx.pid, 0)
    rx.returncode = os.waitstatus_to_exitcode(status)
    done.set()
    if scrape:
        t.join()
    tx.wait()
    return 100 * (usage.ru_utime + usage.ru_stime) / a.seconds, scrapes[0]


share = {False: [], True: []}
for run in range(a.runs):
    for scrape in (False, True):
        pct, n = one(scrape)
        share[scrape].append(pct)
        print(f"run {run + 1} {'scraped' if scrape else 'idle   '}: {pct:.2f}% of a core"
              + (f" ({n} scrapes)" if scrape else ""), flush=True)
idle, scraped = statistics.median(share[False]), statistics.median(share[True])
print(f"median: {idle:.2f}% idle, {scraped:.2f}% scraped every 100 ms: scraping costs {scraped - idle:.2f}% of a core")
print("load average:", " ".join(f"{x:.2f}" for x in os.getloadavg()), f"({os.cpu_count()} cores)")
