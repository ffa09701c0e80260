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
