"""What the bench scripts share for their private servers on loopback."""
import socket
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, seconds=10):
    """True once something accepts on the port; false when `proc` ended first or time ran out."""
    end = time.monotonic() + seconds
    while time.monotonic() < end and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)  # a server opens its port moments after it starts
    return False


class NginxRtmp:
    """A private nginx-rtmp in `work` on a free loopback port, application "live" with `live on;`
    and `application` added; stopped when the block ends."""

    def __init__(self, work, application="", connections=64):
        self.port = free_port()
        with open(f"{work}/nginx.conf", "w") as f:
            f.write("load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                    f"daemon off; master_process off; worker_processes 1; pid {work}/nginx.pid;\n"
                    f"error_log {work}/error.log;\nworker_rlimit_nofile {4 * connections};\n"
                    f"events {{ worker_connections {connections}; }}\n"
                    f"rtmp {{ server {{ listen 127.0.0.1:{self.port}; application live {{ live on; {application} }} }} }}\n")
        self.work = work

    def __enter__(self):
        import subprocess
        self.proc = subprocess.Popen(["nginx", "-c", f"{self.work}/nginx.conf", "-p", f"{self.work}/", "-e",
                                      f"{self.work}/error.log"], stderr=subprocess.DEVNULL)
        if not wait_port(self.port, self.proc):
            self.proc.kill()
            raise SystemExit("nginx did not start")
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)
