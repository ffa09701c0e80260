#!/usr/bin/env python3
"""An RTMPT gateway: RTMP carried in HTTP POSTs, relayed to a plain RTMP server.

    rtmpt_gateway.py --rtmp HOST:PORT [--listen HOST:PORT] [--log FILE]
                     [--fault 404|no-interval|chunked|oversize] [--end-after SECONDS]

Prints "LISTENING <port>" once it accepts connections (port 0 picks a free one).

Requests (POST, bodies by Content-Length, keep-alive, pipelining; the target may be a path or,
as through an HTTP proxy, an absolute http://host:port/path):
  /open/1           opens a session (one TCP connection to the RTMP server); the body of the
                    answer is the new session id and a newline
  /send/ID/SEQ      writes the body to the RTMP server, then answers like idle
  /idle/ID/SEQ      answers with the polling-interval byte and what the RTMP server sent since
                    the last answer (at most 64 KiB; never waits for it)
  /close/ID/SEQ     ends the session
The polling interval is 1 while data flows and doubles with every empty answer, up to 0x21.
The sequence number is not checked. An unknown session gets 404, a malformed request 400.

Faults for tests:
  --fault 404          every request gets 404
  --fault no-interval  send and idle get 200 with an empty body (what the server sent stays)
  --fault chunked      every answer is sent with Transfer-Encoding: chunked
  --fault oversize     send and idle answers are padded with zeros to a 2 MiB body
  --end-after S        a session older than S seconds is ended: its RTMP connection is closed,
                       the next request for it is answered (200, with what was left) with
                       "Connection: close" and the HTTP connection is closed after it; the
                       same happens when the RTMP server closes the connection itself
  SIGUSR1              ends every open session that way at once and prints "ENDED <count>"

--log gets one line per request: connection number, method, target, body size, status,
response body size (before chunked framing), space separated.
SIGTERM or SIGINT stops the gateway.
"""
import argparse
import asyncio
import secrets
import signal
import socket
import sys
import time

MAX_LINE = 8192            # one request or header line
MAX_HEADER = 32768         # all header lines of one request
MAX_BODY = 16 << 20        # a request body; the client aggregates up to 5 MiB per send
MAX_BACKLOG = 4 << 20      # RTMP bytes from the server waiting for a request; reading stops beyond
MAX_ANSWER = 64 << 10      # RTMP bytes in one answer
MAX_INTERVAL = 0x21
OVERSIZE = 2 << 20
KEEPALIVE_TIMEOUT = 120.0  # an HTTP connection idle between requests
REQUEST_TIMEOUT = 30.0     # the rest of a request once its first line came
BACKEND_TIMEOUT = 10.0


class BadRequest(Exception):
    pass


class Session:
    def __init__(self, sid, reader, writer):
        self.id, self.reader, self.writer = sid, reader, writer
        self.created = time.monotonic()
        self.backlog = bytearray()
        self.room = asyncio.Event()   # set while the backlog is below MAX_BACKLOG
        self.room.set()
        self.interval = 1
        self.ended = False            # the RTMP connection is closed, by either side
        self.lock = asyncio.Lock()    # orders requests of one session from several connections
        self.pump = asyncio.create_task(self._pump())
        self.timer = None

    async def _pump(self):
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(65536)
                if not data:
                    break
                self.backlog += data
                if len(self.backlog) >= MAX_BACKLOG:
                    self.room.clear()
        except (ConnectionError, OSError, asyncio.CancelledError):
            pass
        # The server hung up (or the gateway ended the session): what it sent still goes out,
        # the last of it with "Connection: close".
        self.ended = True
        self.writer.close()

    def take(self):
        data = bytes(self.backlog[:MAX_ANSWER])
        del self.backlog[:MAX_ANSWER]
        if len(self.backlog) < MAX_BACKLOG:
            self.room.set()
        self.interval = 1 if data else min(MAX_INTERVAL, self.interval * 2)
        return data

    def close(self):
        if self.timer:
            self.timer.cancel()
        self.pump.cancel()
        self.writer.close()


class Gateway:
    def __init__(self, args):
        self.args = args
        self.sessions = {}
        self.connections = 0
        self.log = open(args.log, "a", buffering=1) if args.log else None

    def end(self, session):
        if not session.ended:
            session.ended = True
            session.close()

    def end_all(self):
        live = [s for s in self.sessions.values() if not s.ended]
        for s in live:
            self.end(s)
        print("ENDED %d" % len(live), flush=True)

    async def open_session(self):
        host, port = self.args.rtmp
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), BACKEND_TIMEOUT)
        sid = secrets.token_hex(6)
        session = self.sessions[sid] = Session(sid, reader, writer)
        if self.args.end_after is not None:
            session.timer = asyncio.get_running_loop().call_later(self.args.end_after, self.end, session)
        return session

    def drop(self, session):
        self.sessions.pop(session.id, None)
        session.close()

    async def handle(self, method, target, body):
        """(status, body, close after) for one request."""
        fault = self.args.fault
        if fault == "404":
            return 404, b"", False
        path = target
        if path.startswith("http://"):
            slash = path.find("/", 7)
            path = path[slash:] if slash >= 0 else "/"
        parts = path.split("/")
        if method != "POST" or len(parts) < 3 or parts[0] != "":
            raise BadRequest()
        command = parts[1]
        if command == "open":
            if len(parts) != 3:
                raise BadRequest()
            try:
                session = await self.open_session()
            except (OSError, asyncio.TimeoutError):
                return 503, b"", False
            return 200, session.id.encode() + b"\n", False
        if command not in ("send", "idle", "close") or len(parts) != 4 or not parts[3].isdigit():
            raise BadRequest()
        session = self.sessions.get(parts[2])
        if session is None:
            return 404, b"", False
        async with session.lock:
            if command == "close":
                self.drop(session)
                return 200, b"\x00", False
            if command == "send" and not session.ended:
                try:
                    session.writer.write(body)
                    await asyncio.wait_for(session.writer.drain(), BACKEND_TIMEOUT)
                except (OSError, asyncio.TimeoutError):
                    self.end(session)
            if fault == "no-interval" and not session.ended:
                return 200, b"", False
            answer = session.take()
            last = session.ended and not session.backlog
            if last:
                self.drop(session)
            data = bytes([session.interval]) + answer
            if fault == "oversize":
                data += bytes(OVERSIZE - len(data)) if len(data) < OVERSIZE else b""
            return 200, data, last

    def respond(self, writer, status, body, close):
        reason = {200: "OK", 400: "Bad Request", 404: "Not Found", 413: "Payload Too Large",
                  503: "Service Unavailable"}[status]
        head = ["HTTP/1.1 %d %s" % (status, reason), "Content-Type: application/x-fcs"]
        if self.args.fault == "chunked":
            head.append("Transfer-Encoding: chunked")
            payload = (b"%x\r\n%s\r\n" % (len(body), body) if body else b"") + b"0\r\n\r\n"
        else:
            head.append("Content-Length: %d" % len(body))
            payload = body
        head += ["Connection: " + ("close" if close else "Keep-Alive"), "Cache-Control: no-cache",
                 "Server: QvRtmptGateway/1.0"]
        writer.write(("\r\n".join(head) + "\r\n\r\n").encode() + payload)

    async def read_request(self, reader, sock):
        """(method, target, version, headers, body), or None at a clean end of the connection."""
        try:
            line = await asyncio.wait_for(reader.readline(), KEEPALIVE_TIMEOUT)
        except ValueError:
            raise BadRequest()
        if not line:
            return None

        async def rest():
            lines, size = [], 0
            while True:
                try:
                    h = await reader.readline()
                except ValueError:
                    raise BadRequest()
                size += len(h)
                if not h.endswith(b"\n") or size > MAX_HEADER:
                    raise BadRequest()
                if h in (b"\r\n", b"\n"):
                    return lines
                lines.append(h)

        # A client that writes the header and the body separately waits, under Nagle's rule,
        # for the header's ACK, which the kernel would hold back to ride on the answer: ACK now.
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        words = line.decode("latin-1").split()
        if len(words) != 3 or not words[2].startswith("HTTP/1."):
            raise BadRequest()
        headers = {}
        for h in await asyncio.wait_for(rest(), REQUEST_TIMEOUT):
            name, colon, value = h.decode("latin-1").partition(":")
            if not colon or not name.strip():
                raise BadRequest()
            headers[name.strip().lower()] = value.strip()
        if "transfer-encoding" in headers:
            raise BadRequest()
        length = headers.get("content-length", "0")
        if not length.isdigit():
            raise BadRequest()
        if int(length) > MAX_BODY:
            return words[0], words[1], words[2], headers, None
        body = await asyncio.wait_for(reader.readexactly(int(length)), REQUEST_TIMEOUT)
        return words[0], words[1], words[2], headers, body

    async def serve(self, reader, writer):
        self.connections += 1
        conn = self.connections
        sock = writer.get_extra_info("socket")
        try:
            while True:
                method, target, status, answer, close = "-", "-", 400, b"", True
                try:
                    request = await self.read_request(reader, sock)
                    if request is None:
                        break
                    method, target, version, headers, body = request
                    if body is None:
                        status, body = 413, b""
                    else:
                        status, answer, close = await self.handle(method, target, body)
                        conn_header = headers.get("connection", headers.get("proxy-connection", "")).lower()
                        close = close or conn_header == "close" or (version == "HTTP/1.0" and conn_header != "keep-alive")
                except BadRequest:
                    body = b""
                self.write_log(conn, method, target, len(body), status, len(answer))
                self.respond(writer, status, answer, close)
                await writer.drain()
                if close:
                    break
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError, OSError):
            pass
        except asyncio.CancelledError:
            pass  # the gateway stops: ending quietly spares a traceback from asyncio's stream callback
        finally:
            writer.close()

    def write_log(self, conn, method, target, body, status, answer):
        if self.log:
            self.log.write("%d %s %s %d %d %d\n" % (conn, method, target, body, status, answer))


def host_port(text):
    host, colon, port = text.rpartition(":")
    if not colon or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host.strip("[]") or "127.0.0.1", int(port)


async def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--listen", type=host_port, default=("127.0.0.1", 0))
    p.add_argument("--rtmp", type=host_port, required=True)
    p.add_argument("--log")
    p.add_argument("--fault", choices=["404", "no-interval", "chunked", "oversize"])
    p.add_argument("--end-after", type=float)
    args = p.parse_args()
    gateway = Gateway(args)
    server = await asyncio.start_server(gateway.serve, args.listen[0], args.listen[1], limit=MAX_LINE)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, gateway.end_all)
    print("LISTENING %d" % server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    server.close()
    for s in list(gateway.sessions.values()):
        gateway.drop(s)


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(130)
