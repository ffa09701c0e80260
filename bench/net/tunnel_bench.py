#!/usr/bin/env python3
"""The CPU price of the RTMPT tunnel: one 60 s 720p 3 Mbit/s publication over plain RTMP and the
same through the RTMPT gateway, one after the other, into one private nginx-rtmp.

Prints rtmpwriter's CPU (user + sys, from wait4) for each, their ratio against the bound (the
tunnel at most 2x), and the tunnel's HTTP requests per second from the gateway's log; exits
non-zero when a publication fails or the ratio is over the bound.

  bench/net/tunnel_bench.py [--build build] [--seconds 60]

The input is encoded once into BUILD/bench-fixtures (x264, 30 fps, key frame every 2 s, AAC).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from loopback import free_port, wait_port  # noqa: E402
BOUND = 2.0


def make_input(build, seconds):
    out = os.path.join(build, "bench-fixtures")
    os.makedirs(out, exist_ok=True)
    v, a = f"{out}/tunnel720_{seconds}.h264", f"{out}/tunnel720_{seconds}.aac"
    if not (os.path.exists(v) and os.path.exists(a)):
        print(f"encoding {seconds} s of 720p at 3 Mbit/s ...", flush=True)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                        "-f", "lavfi", "-i", f"testsrc2=size=1280x720:rate=30:duration={seconds}",
                        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
                        "-map", "0:v", "-c:v", "libx264", "-preset", "veryfast", "-g", "60", "-pix_fmt", "yuv420p",
                        "-b:v", "3M", "-maxrate", "3M", "-bufsize", "3M", "-f", "h264", v + ".part",
                        "-map", "1:a", "-c:a", "aac", "-b:a", "128k", "-f", "adts", a], check=True)
        os.rename(v + ".part", v)
    return v, a


def publish(writer, url, video, audio, log):
    """(exit code, CPU seconds, wall seconds) of one rtmpwriter run."""
    start = time.monotonic()
    with open(log, "w") as err:
        proc = subprocess.Popen([writer, url, "--video", video, "--audio", audio], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_utime + usage.ru_stime, time.monotonic() - start


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--seconds", type=int, default=60)
    a = p.parse_args()
    writer = os.path.join(a.build, "apps", "rtmpwriter")
    video, audio = make_input(a.build, a.seconds)
    work = tempfile.mkdtemp(prefix="qv-tunnelbench-")
    children = []
    try:
        port = free_port()
        user = "user root;" if os.getuid() == 0 else ""
        with open(f"{work}/nginx.conf", "w") as f:
            f.write(f"load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off; master_process off; "
                    f"worker_processes 1; {user}\npid {work}/nginx.pid; error_log {work}/error.log info;\n"
                    f"events {{ worker_connections 64; }}\nrtmp {{ server {{ listen 127.0.0.1:{port}; "
                    f"application live {{ live on; }} }} }}\n")
        nginx = subprocess.Popen(["nginx", "-c", f"{work}/nginx.conf", "-p", f"{work}/", "-e", f"{work}/error.log"],
                                 stderr=subprocess.DEVNULL)
        children.append(nginx)
        if not wait_port(port, nginx):
            sys.exit("nginx did not start")
        gateway = subprocess.Popen([sys.executable, os.path.join(ROOT, "scripts", "rtmpt_gateway.py"), "--listen",
                                    "127.0.0.1:0", "--rtmp", f"127.0.0.1:{port}", "--log", f"{work}/gateway.log"],
                                   stdout=subprocess.PIPE, text=True)
        children.append(gateway)
        line = gateway.stdout.readline()
        if not line.startswith("LISTENING "):
            sys.exit("the gateway did not start")
        gw = int(line.split()[1])

        plain = publish(writer, f"rtmp://127.0.0.1:{port}/live/plain", video, audio, f"{work}/plain.err")
        tunnel = publish(writer, f"rtmpt://127.0.0.1:{gw}/live/tunnel", video, audio, f"{work}/tunnel.err")
        with open(f"{work}/gateway.log") as f:
            requests = sum(1 for _ in f)
        failed = False
        for name, (code, cpu, wall), log in (("plain RTMP", plain, "plain.err"), ("RTMPT tunnel", tunnel, "tunnel.err")):
            print(f"{name:13s} exit {code}  wall {wall:6.1f} s  CPU {cpu:6.2f} s ({100 * cpu / wall:.1f} % of a core)")
            if code != 0:
                failed = True
                print("  " + open(f"{work}/{log}").read().strip())
        ratio = tunnel[1] / plain[1] if plain[1] > 0 else float("inf")
        print(f"CPU tunnel/plain {ratio:.2f}x (bound {BOUND:.1f}x): {'ok' if ratio <= BOUND else 'OVER'}")
        print(f"tunnel HTTP requests {requests}, {requests / tunnel[2]:.1f} per second")
        return 1 if failed or ratio > BOUND else 0
    finally:
        for c in children:
            c.terminate()
            c.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
