#!/usr/bin/env python3
"""What watching the web page costs the stream: the CPU (user+sys) of an rtmpwriter publishing
with --ui while the system's headless Chromium shows its page (the live figures pushed to it as
they change), against the same publication with the page served but nobody watching. Runs
interleaved, medians; the writer runs on core 0 and the browser on core 1 (two cores are needed),
and the browser's own CPU is printed beside, for scale.

  bench/apps/page_bench.py [--build build] [--seconds 60] [--runs 3]

The input is the 720p30 ~3 Mbit/s + AAC encode of publisher_bench.py (cached in the build tree).
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loopback import NginxRtmp, free_port, wait_port  # noqa: E402
from publisher_bench import fixtures  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TICK = os.sysconf("SC_CLK_TCK")


def tree_cpu(pid):
    """CPU seconds of a process and its living descendants (Chromium is several processes)."""
    total, todo = 0.0, [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / TICK
            with open(f"/proc/{p}/task/{p}/children") as f:
                todo += [int(c) for c in f.read().split()]
        except (OSError, ValueError, IndexError):
            pass
    return total


def watching(port):
    """Whether a browser holds a connection to the page's port."""
    out = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"], capture_output=True,
                         text=True).stdout
    return bool(out.strip())


def publish(writer, url, video, audio, seconds, browser, tmp):
    """One publication with its page; returns (writer cpu s, browser cpu s, page watched, exit)."""
    ui = free_port()
    # The writer on one core and the browser on the other: what is measured is the work the page
    # makes in the writer, not a browser's start-up competing with it for the same core.
    p = subprocess.Popen(["taskset", "-c", "0", writer, url, "--video", video, "--audio", audio, "--ui", str(ui)],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    chrome, chrome_cpu, seen = None, 0.0, False
    if not wait_port(ui, p):
        p.kill()
    elif browser:
        profile = tempfile.mkdtemp(prefix="profile-", dir=tmp)
        chrome = subprocess.Popen(["taskset", "-c", "1", browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                   f"--user-data-dir={profile}", f"http://127.0.0.1:{ui}/"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + seconds * 3 + 30
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        if chrome:
            seen = seen or watching(ui)
            chrome_cpu = max(chrome_cpu, tree_cpu(chrome.pid))
        if time.monotonic() > deadline:
            p.kill()
        time.sleep(0.5)
    if chrome:
        os.killpg(chrome.pid, signal.SIGKILL)
        chrome.wait(10)
    return usage.ru_utime + usage.ru_stime, chrome_cpu, seen, os.waitstatus_to_exitcode(status)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    browser = shutil.which("chromium")
    if not browser:
        sys.exit("chromium is not installed (scripts/deps.sh installs it)")
    writer = os.path.join(a.build, "apps", "rtmpwriter")
    video, audio, _ = fixtures(os.path.join(a.build, "bench-fixtures"), a.seconds)
    results = {"unwatched": [], "watched": []}
    with tempfile.TemporaryDirectory(prefix="qv-page-") as tmp:
        with NginxRtmp(tmp) as nginx:
            port = nginx.port
            for i in range(a.runs):
                for name in results:
                    r = publish(writer, f"rtmp://127.0.0.1:{port}/live/{name}", video, audio, a.seconds,
                                browser if name == "watched" else None, tmp)
                    results[name].append(r)
                    print(f"run {i + 1} {name:10}: writer cpu {r[0]:.3f} s, browser cpu {r[1]:.2f} s, "
                          f"page open {'yes' if r[2] else 'no'}, exit {r[3]}", flush=True)
    med = {k: statistics.median(r[0] for r in v) for k, v in results.items()}
    browser_cpu = statistics.median(r[1] for r in results["watched"])
    print(f"\n{a.seconds} s 720p30 ~3 Mbit/s + AAC with --ui, medians of {a.runs} interleaved runs")
    print(f"writer CPU unwatched {med['unwatched']:.3f} s, watched {med['watched']:.3f} s: "
          f"ratio {med['watched'] / med['unwatched']:.2f} (target <= 1.10); the browser itself {browser_cpu:.2f} s")
    ok = all(r[3] == 0 for v in results.values() for r in v) and all(r[2] for r in results["watched"])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
