#!/usr/bin/env python3
"""The whole rtmpwriter process against ffmpeg publishing the same stream to the same private
nginx-rtmp, runs interleaved: CPU (user+sys of the process), peak RSS, peak PSS, and per thread
the CPU and wake-ups a second; then the idle cost of a connected writer whose input is stalled.

  bench/apps/publisher_bench.py [--build build] [--seconds 60] [--runs 3]

The input is a 720p30 encode at about 3 Mbit/s with AAC, made here by ffmpeg/x264 (cached in the
build tree); ffmpeg reads the same streams muxed into MP4 (-re -c copy -f flv).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from loopback import NginxRtmp  # noqa: E402
from procfs import pss_kb, status_kb  # noqa: E402
TICK = os.sysconf("SC_CLK_TCK")


def fixtures(cache, seconds, kbps=3000, name="lean"):
    """The 720p30 H.264 + AAC input as elementary streams and as MP4 (for ffmpeg), cached."""
    os.makedirs(cache, exist_ok=True)
    video, audio, mp4 = (os.path.join(cache, f"{name}{seconds}.{e}") for e in ("h264", "aac", "mp4"))
    ff = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    if not os.path.exists(video):
        subprocess.run(ff + ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30", "-t", str(seconds), "-c:v", "libx264",
                             "-preset", "veryfast", "-b:v", f"{kbps}k", "-maxrate", f"{kbps}k", "-bufsize", f"{kbps}k",
                             "-g", "60", "-threads", "1", video], check=True)
    if not os.path.exists(audio):
        subprocess.run(ff + ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds),
                             "-c:a", "aac", "-b:a", "128k", audio], check=True)
    if not os.path.exists(mp4):
        subprocess.run(ff + ["-framerate", "30", "-i", video, "-i", audio, "-c", "copy", mp4], check=True)
    return video, audio, mp4


def threads(pid, seen):
    """Per thread: name, CPU ticks and context switches, the latest reading kept by thread id."""
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            switches = 0
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if "ctxt_switches" in line:
                        switches += int(line.split()[1])
            seen[tid] = (name, int(fields[11]) + int(fields[12]), switches)
        except (OSError, IndexError, ValueError):
            pass


def run(cmd, seconds_hint):
    """Runs cmd to its end; returns (cpu s, peak RSS MB, peak PSS MB, threads, wall s, exit code)."""
    seen, peak_pss, peak_rss = {}, 0, 0
    start = time.monotonic()
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = start + seconds_hint * 3 + 30
    # Reaped here with its resource usage (Popen.poll would reap it without).
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            p.kill()
        peak_pss = max(peak_pss, pss_kb(p.pid))
        # The program's own high-water mark: the rusage figure would also count the forked copy
        # of this Python interpreter from before the exec.
        peak_rss = max(peak_rss, status_kb(p.pid, "VmHWM"))
        threads(p.pid, seen)
        time.sleep(0.25)
    p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - start
    err = p.stderr.read().decode(errors="replace").strip()
    if err:
        print("  stderr:", err.splitlines()[-1][:200], file=sys.stderr)
    return usage.ru_utime + usage.ru_stime, peak_rss / 1024, peak_pss / 1024, seen, wall, p.returncode


def thread_table(seen, wall):
    rows = {}
    for name, ticks, switches in seen.values():
        r = rows.setdefault(name, [0, 0, 0])
        r[0] += 1
        r[1] += ticks
        r[2] += switches
    return [(n, c, t / TICK, s / wall) for n, (c, t, s) in sorted(rows.items(), key=lambda kv: -kv[1][1])]


def idle_cost(writer, port, seconds, tmp):
    """CPU share of one core of a writer connected to the server with its input stalled."""
    fifo = os.path.join(tmp, "stalled.h264")
    os.mkfifo(fifo)
    p = subprocess.Popen([writer, f"rtmp://127.0.0.1:{port}/live/idle", "--video", fifo],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    w = os.open(fifo, os.O_WRONLY)  # held open and silent: the writer waits for its first bytes
    time.sleep(1.0)  # past start-up, which is not the idle cost
    seen0 = {}
    threads(p.pid, seen0)
    t0 = time.monotonic()
    time.sleep(seconds)
    seen1 = {}
    threads(p.pid, seen1)
    wall = time.monotonic() - t0
    p.terminate()
    p.wait(10)
    os.close(w)
    ticks = sum(v[1] for v in seen1.values()) - sum(v[1] for v in seen0.values())
    wakes = sum(v[2] for v in seen1.values()) - sum(v[2] for v in seen0.values())
    return ticks / TICK / wall, wakes / wall


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--idle-seconds", type=int, default=10)
    a = ap.parse_args()
    writer = os.path.join(a.build, "apps", "rtmpwriter")
    video, audio, mp4 = fixtures(os.path.join(a.build, "bench-fixtures"), a.seconds)
    with tempfile.TemporaryDirectory(prefix="qv-lean-") as tmp:
        with NginxRtmp(tmp) as nginx:
            port = nginx.port
            cmds = {
                "rtmpwriter": [writer, f"rtmp://127.0.0.1:{port}/live/w", "--video", video, "--audio", audio],
                "ffmpeg": ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", mp4, "-c", "copy",
                           "-f", "flv", f"rtmp://127.0.0.1:{port}/live/f"],
            }
            results = {k: [] for k in cmds}
            for i in range(a.runs):
                for name, cmd in cmds.items():
                    r = run(cmd, a.seconds)
                    results[name].append(r)
                    print(f"run {i + 1} {name:10}: cpu {r[0]:.3f} s, rss {r[1]:.1f} MB, pss {r[2]:.1f} MB, "
                          f"{r[4]:.1f} s, exit {r[5]}", flush=True)
            idle, idle_wakes = idle_cost(writer, port, a.idle_seconds, tmp)

    med = {k: tuple(statistics.median(r[j] for r in v) for j in range(3)) for k, v in results.items()}
    w, f = med["rtmpwriter"], med["ffmpeg"]
    print(f"\n{a.seconds} s 720p30 ~3 Mbit/s + AAC, medians of {a.runs} interleaved runs")
    print(f"{'':12}{'cpu s':>8}{'peak RSS MB':>13}{'peak PSS MB':>13}")
    for name, m in med.items():
        print(f"{name:12}{m[0]:8.3f}{m[1]:13.1f}{m[2]:13.1f}")
    print(f"{'ratio':12}{w[0] / f[0]:8.2f}{w[1] / f[1]:13.2f}{w[2] / f[2]:13.2f}"
          "   targets: cpu <= 0.5, RSS <= 15 MB, PSS <= 8 MB")
    for name in cmds:
        last = results[name][-1]
        print(f"\n{name} threads (last run): name, count, cpu s, wake-ups/s")
        for n, c, cpu, wakes in thread_table(last[3], last[4]):
            print(f"  {n:18}{c:3}{cpu:8.2f}{wakes:9.1f}")
    print(f"\nidle connected writer, input stalled: {100 * idle:.2f}% of one core, {idle_wakes:.1f} wake-ups/s "
          "(target < 0.5%)")
    ok = all(r[5] == 0 for v in results.values() for r in v)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
