#!/usr/bin/env python3
"""Publishes with the fallback list inside a private network namespace.

    unshare --net tunnel_fallback_ns.py --rtmpwriter PATH --out DIR --video FILE [--audio FILE]
                                        [--url URL] [--end-session]

Brings lo up, then runs nginx-rtmp on 127.0.0.1:1936 (recording to DIR/rec), the RTMPT gateway on
127.0.0.1:80 in front of it, and nothing on 1935 or 443, so only the tunnel on port 80 can carry
rtmp://127.0.0.1/live/s. rtmpwriter runs with --fallback-ports --fallback-tunnel --events json;
its events go to DIR/events.json, its log to DIR/rtmpwriter.log, the gateway's to
DIR/gateway.log. --url publishes elsewhere (rtmpt://127.0.0.1:80/live/s straight to the gateway).
With --end-session the gateway ends the session once the stream runs (at the second statistics
event) and nginx records each publication to a file of its own.
Prints "EXIT <code>" for rtmpwriter (or "FAIL <why>") and stops every child by its PID.
"""
import argparse
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

BOUND = 60.0  # the whole run


def wait_port(port, deadline):
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.02)  # nginx opens its port moments after it starts; poll for it
    return False


def read_line(proc, deadline):
    buf = b""
    while not buf.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
            return None
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            return None
        buf += chunk
    return buf.decode()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rtmpwriter", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--video", required=True)
    p.add_argument("--audio")
    p.add_argument("--url", default="rtmp://127.0.0.1/live/s")
    p.add_argument("--end-session", action="store_true")
    a = p.parse_args()
    deadline = time.monotonic() + BOUND
    out = a.out
    os.makedirs(out + "/rec", exist_ok=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    with open(out + "/nginx.conf", "w") as f:
        f.write("load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                "daemon off; master_process off; worker_processes 1;%s\n"
                "pid %s/nginx.pid; error_log %s/error.log info;\nevents { worker_connections 64; }\n"
                "rtmp { server { listen 127.0.0.1:1936; application live { live on; record all; "
                "record_path %s/rec; record_suffix .flv; record_unique %s; } } }\n"
                % (" user root;" if os.getuid() == 0 else "", out, out, out, "on" if a.end_session else "off"))
    children = []
    try:
        nginx = subprocess.Popen(["nginx", "-c", out + "/nginx.conf", "-p", out + "/", "-e", out + "/error.log"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append((nginx, signal.SIGQUIT))
        if not wait_port(1936, deadline):
            return print("FAIL nginx did not open 1936", flush=True)
        gateway = subprocess.Popen([sys.executable, os.path.dirname(os.path.abspath(__file__)) + "/../../scripts/rtmpt_gateway.py",
                                    "--listen", "127.0.0.1:80", "--rtmp", "127.0.0.1:1936", "--log", out + "/gateway.log"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=open(out + "/gateway.err", "w"))
        children.append((gateway, signal.SIGTERM))
        line = read_line(gateway, deadline)
        if not line or not line.startswith("LISTENING 80"):
            return print("FAIL the gateway did not listen on 80: %r" % line, flush=True)
        args = [a.rtmpwriter, a.url, "--fallback-ports", "--fallback-tunnel", "--events", "json",
                "--connect-timeout", "3", "--reconnect-interval", "500", "--video", a.video,
                "--log", out + "/rtmpwriter.log", "--log-level", "9"] + (["--audio", a.audio] if a.audio else [])
        writer = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=open(out + "/stderr.txt", "w"))
        children.insert(0, (writer, signal.SIGKILL))
        statistics, ended = 0, False
        with open(out + "/events.json", "w") as events:
            while (line := read_line(writer, deadline)) is not None:
                events.write(line)
                statistics += json.loads(line).get("event") == "statistics"
                if a.end_session and statistics == 2 and not ended:
                    ended = True
                    gateway.send_signal(signal.SIGUSR1)
                    events.write('{"event":"test","message":"%s"}\n' % (read_line(gateway, deadline) or "no answer").strip())
        try:
            print("EXIT %d" % writer.wait(max(0.1, deadline - time.monotonic())), flush=True)
        except subprocess.TimeoutExpired:
            print("FAIL rtmpwriter did not end within %d s" % BOUND, flush=True)
    finally:
        for child, signo in children:
            if child.poll() is None:
                child.send_signal(signo)
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()


if __name__ == "__main__":
    main()
