#!/usr/bin/env python3
"""One input to N destinations: one rtmpwriter process with N URLs, against ffmpeg's tee muxer
with the same N outputs and against N separate ffmpeg processes, each publishing to the same
private nginx-rtmp in the same run. Prints total CPU (user+sys), peak PSS (summed over the
processes), and the frames nginx recorded per destination against the input's.

  bench/apps/fanout_bench.py [--build build] [--seconds 20] [--counts 10,100]

The input is a 720p30 encode at about 1.5 Mbit/s with AAC, made here by ffmpeg/x264 (cached in
the build tree). The recordings go to /dev/shm and are removed after each publisher.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loopback import NginxRtmp  # noqa: E402
from procfs import pss_kb  # noqa: E402
from publisher_bench import fixtures  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def packets(path):
    """(video, audio) packet counts of a file, by ffprobe."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                          "stream=codec_type,nb_read_packets", "-of", "json", path],
                         capture_output=True, text=True, timeout=120).stdout
    counts = {"video": 0, "audio": 0}
    for s in json.loads(out or "{}").get("streams", []):
        counts[s["codec_type"]] = int(s.get("nb_read_packets", 0))
    return counts["video"], counts["audio"]


def run_all(cmds, seconds):
    """Runs the commands at once to their ends: (cpu s, peak summed PSS MB, wall s, exit codes)."""
    start = time.monotonic()
    procs = [subprocess.Popen(c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
             for c in cmds]
    pending = {p.pid: p for p in procs}
    cpu, peak, codes = 0.0, 0, {}
    deadline = start + seconds * 4 + 60
    while pending:
        for pid in list(pending):
            got, status, usage = os.wait4(pid, os.WNOHANG)
            if got:
                cpu += usage.ru_utime + usage.ru_stime
                codes[pid] = os.waitstatus_to_exitcode(status)
                err = pending.pop(pid).stderr.read().decode(errors="replace").strip()
                if err and codes[pid] != 0:
                    print("  stderr:", err.splitlines()[-1][:200], file=sys.stderr)
        if time.monotonic() > deadline:
            for p in pending.values():
                p.kill()
        peak = max(peak, sum(pss_kb(pid) for pid in pending))
        time.sleep(0.25)
    return cpu, peak / 1024, time.monotonic() - start, [codes[p.pid] for p in procs]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--counts", default="10,100")
    a = ap.parse_args()
    writer = os.path.join(a.build, "apps", "rtmpwriter")
    video, audio, mp4 = fixtures(os.path.join(a.build, "bench-fixtures"), a.seconds, kbps=1500, name="fan")
    want = packets(mp4)
    rows = []
    with tempfile.TemporaryDirectory(prefix="qv-fanout-") as tmp, \
            tempfile.TemporaryDirectory(prefix="qv-fanout-rec-", dir="/dev/shm") as rec:
        with NginxRtmp(tmp, f"record all; record_path {rec}; record_suffix .flv;", connections=1024) as nginx:
            port = nginx.port
            for n in (int(x) for x in a.counts.split(",")):
                def urls(tag):
                    return [f"rtmp://127.0.0.1:{port}/live/{tag}{n}_{i}" for i in range(n)]
                ff = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", mp4, "-c", "copy"]
                variants = {
                    "rtmpwriter": [[writer, *urls("w"), "--video", video, "--audio", audio]],
                    "ffmpeg tee": [ff + ["-map", "0", "-tag:v", "7", "-tag:a", "10", "-flags", "+global_header", "-f", "tee", "|".join(f"[f=flv]{u}" for u in urls("t"))]],
                    f"{n} x ffmpeg": [ff + ["-f", "flv", u] for u in urls("p")],
                }
                for name, cmds in variants.items():
                    cpu, pss, wall, codes = run_all(cmds, a.seconds)
                    time.sleep(1.0)  # nginx closes the recordings as the connections end
                    tag = {"rtmpwriter": "w", "ffmpeg tee": "t"}.get(name, "p")
                    got = [packets(os.path.join(rec, f"{tag}{n}_{i}.flv")) for i in range(n)]
                    complete = sum(1 for g in got if g == want)
                    worst = min(got, key=lambda g: g[0] + g[1])
                    rows.append((n, name, cpu, pss, wall, complete, worst, sum(1 for c in codes if c == 0), len(codes)))
                    print(f"N={n:<4} {name:14} cpu {cpu:7.2f} s  pss {pss:7.1f} MB  {wall:5.1f} s  "
                          f"{complete}/{n} complete, worst {worst[0]} v {worst[1]} a of {want[0]} v {want[1]} a",
                          flush=True)
                    for entry in os.listdir(rec):
                        os.unlink(os.path.join(rec, entry))

    print(f"\n{a.seconds} s 720p30 ~1.5 Mbit/s + AAC to N destinations on one nginx-rtmp; "
          f"{os.cpu_count()} cores; CPU per real-time second in cores")
    print(f"{'N':>4} {'publisher':14}{'cpu s':>9}{'cores':>7}{'x rtmpwriter':>14}{'PSS MB':>9}{'complete':>10}{'exit 0':>8}")
    base = {r[0]: r for r in rows if r[1] == "rtmpwriter"}
    for n, name, cpu, pss, wall, complete, worst, ok, total in rows:
        print(f"{n:4} {name:14}{cpu:9.2f}{cpu / a.seconds:7.2f}{cpu / base[n][2]:14.2f}{pss:9.1f}"
              f"{f'{complete}/{n}':>10}{f'{ok}/{total}':>8}")
    print("moonshot: N=100 by rtmpwriter complete with under 1 core in total")
    sys.exit(0 if all(r[5] == r[0] for r in rows if r[1] == "rtmpwriter") else 1)


if __name__ == "__main__":
    main()
