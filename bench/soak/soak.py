#!/usr/bin/env python3
"""Soak: one long publication of a 720p stream through a proxy that cuts the connection at a fixed
interval, against a private nginx-rtmp that records every publication to a file of its own.

Prints the writer's resident memory against the bound (flat within 1 MB after the first minute),
each recorded segment's pictures and decode errors, and a verdict; exits non-zero on a failure.

  bench/soak/soak.py [--minutes 60] [--cut-every 300] [--build build]

The input is a 32 s encode (960 pictures, 1500 AAC frames: both exactly 32 s, so loops do not
drift apart) written again and again into two FIFOs, the way a live encoder hands its output over.
"""
import argparse
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from loopback import free_port, wait_port  # noqa: E402
from procfs import status_kb  # noqa: E402
LOOP_S = 32


class CuttingProxy:
    """Relays each accepted connection to the server; cut() resets every open one (RST)."""

    def __init__(self, target):
        self.target = target
        self.listen = socket.create_server(("127.0.0.1", 0))
        self.port = self.listen.getsockname()[1]
        self.lock = threading.Lock()
        self.conns = []
        self.accepted = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listen.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.target), timeout=5)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            with self.lock:
                self.conns.append((client, server))
                self.accepted += 1
            ended = []  # the pumps of this pair that have finished
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b, ended), daemon=True).start()

    @staticmethod
    def _pump(src, dst, ended):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        # Both pumps of a pair end here; the sockets are closed only by the second, since a close
        # while the other pump still waits in recv would not release (or reset) the connection.
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RD)
            except OSError:
                pass
        ended.append(src)  # the second pump to finish closes both (closing twice is harmless)
        if len(ended) == 2:
            src.close()
            dst.close()

    def cut(self):
        with self.lock:
            conns, self.conns = self.conns, []
        for pair in conns:
            for s in pair:
                try:
                    # Reset, not FIN, once closed; the read shutdown wakes both pumps to close them.
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    s.shutdown(socket.SHUT_RD)
                except OSError:
                    pass


def start_nginx(work):
    port = free_port()
    os.makedirs(f"{work}/rec")
    user = "user root;" if os.getuid() == 0 else ""
    with open(f"{work}/nginx.conf", "w") as f:
        f.write(f"""load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1; {user}
pid {work}/nginx.pid; error_log {work}/error.log info;
events {{ worker_connections 64; }}
rtmp {{ server {{ listen 127.0.0.1:{port};
  application live {{ live on; record all; record_path {work}/rec; record_unique on; record_suffix .flv; }} }} }}
""")
    proc = subprocess.Popen(["nginx", "-c", f"{work}/nginx.conf", "-p", f"{work}/", "-e", f"{work}/error.log"],
                            stderr=subprocess.DEVNULL)
    if not wait_port(port, proc):
        sys.exit("nginx did not start: " + open(f"{work}/error.log").read())
    return proc, port


def make_input(work):
    v, a = f"{work}/in.h264", f"{work}/in.aac"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", f"testsrc2=size=1280x720:rate=30:duration={LOOP_S + 1}",
                    "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={LOOP_S + 1}",
                    "-map", "0:v", "-frames:v", str(LOOP_S * 30), "-c:v", "libx264", "-preset", "veryfast",
                    "-g", "60", "-pix_fmt", "yuv420p", "-b:v", "3M", "-f", "h264", v,
                    "-map", "1:a", "-frames:a", str(LOOP_S * 48000 // 1024), "-c:a", "aac", "-b:a", "128k",
                    "-f", "adts", a], check=True)
    return v, a


def feed(path, fifo, loops):
    data = open(path, "rb").read()
    try:
        with open(fifo, "wb") as out:
            for _ in range(loops):
                out.write(data)
    except BrokenPipeError:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=60)
    ap.add_argument("--cut-every", type=float, default=300, help="seconds between two cuts")
    ap.add_argument("--build", default=f"{ROOT}/build")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="qv-soak-")
    nginx = writer = None
    try:
        nginx, port = start_nginx(work)
        proxy = CuttingProxy(port)
        v, a = make_input(work)
        loops = max(1, round(args.minutes * 60 / LOOP_S))
        fv, fa = f"{work}/v.fifo", f"{work}/a.fifo"
        os.mkfifo(fv)
        os.mkfifo(fa)
        env = dict(os.environ, QV_SETTINGS_USER=f"{work}/user.json", QV_SETTINGS_MACHINE=f"{work}/machine.json")
        writer = subprocess.Popen([f"{args.build}/apps/rtmpwriter", f"rtmp://127.0.0.1:{proxy.port}/live/soak",
                                   "--video", fv, "--audio", fa, "--reconnect-attempts", "-1",
                                   "--reconnect-interval", "500"],
                                  env=env, stdout=subprocess.DEVNULL, stderr=open(f"{work}/writer.err", "w"))
        feeders = [threading.Thread(target=feed, args=(p, f, loops), daemon=True) for p, f in ((v, fv), (a, fa))]
        for t in feeders:
            t.start()
        start = time.monotonic()
        next_cut = start + args.cut_every
        samples = []  # (seconds, kB)
        cuts = 0
        while writer.poll() is None:
            time.sleep(1)
            now = time.monotonic()
            kb = status_kb(writer.pid, "VmRSS")
            if kb:
                samples.append((now - start, kb))
            if now >= next_cut:
                proxy.cut()
                cuts += 1
                next_cut += args.cut_every
                print(f"  {(now - start) / 60:5.1f} min: cut {cuts}, resident {kb / 1024 if kb else 0:.2f} MB", flush=True)
            if now - start > args.minutes * 60 + 120:
                writer.send_signal(signal.SIGTERM)
                break
        status = writer.wait(30)
        elapsed = time.monotonic() - start
        time.sleep(1)  # nginx closes the last recording when the publisher leaves
        settled = [kb for t, kb in samples if t >= 60] or [kb for _, kb in samples]
        growth = (max(settled) - min(settled)) / 1024 if settled else float("nan")
        print(f"published {elapsed / 60:.1f} min ({loops} loops of {LOOP_S} s), {cuts} cuts, "
              f"{proxy.accepted} connections, exit status {status}")
        print(f"resident memory after the first minute: {min(settled) / 1024:.1f} .. {max(settled) / 1024:.1f} MB, "
              f"growth {growth:.2f} MB against a bound of 1 MB")
        ok = status == 0 and growth <= 1.0
        total = 0
        for rec in sorted(glob.glob(f"{work}/rec/*.flv")):
            probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                                    "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", rec],
                                   capture_output=True, text=True)
            decode = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", rec, "-f", "null", "-"],
                                    capture_output=True, text=True)
            errors = len([line for line in decode.stderr.splitlines() if line.strip()])
            pictures = int(probe.stdout.strip() or 0)
            total += pictures
            ok = ok and errors == 0 and pictures > 0
            print(f"  segment {os.path.basename(rec)}: {pictures} pictures, {errors} decode error lines")
        print(f"{total} of {loops * LOOP_S * 30} pictures recorded over {cuts + 1} expected segments")
        print("VERDICT:", "PASS" if ok else "FAIL")
        return 0 if ok else 1
    finally:
        for p in (writer, nginx):
            if p and p.poll() is None:
                p.send_signal(signal.SIGQUIT if p is nginx else signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if args.keep:
            print("work directory:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
