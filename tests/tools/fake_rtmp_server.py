#!/usr/bin/env python3
"""A scriptable RTMP server for the publishing client's tests. Prints "PORT <n>", answers as its
flags ask and writes every handshake block and message it receives or sends to --record, one JSON
object per line. --action {"on": command name or "media:N", "send": kind, "connection": index, ...}
sends something before the server's own answer to that command (see act())."""
import argparse, base64, hashlib, json, math, random, select, signal, socket, struct, sys, threading, time
from types import SimpleNamespace

HS = 1536
SALT, CHALLENGE, OPAQUE, NONCE = "Zq3vS4lt", "Q2hhbGxlbmdl", "T3BhcXVlVmFs", "4e6f6e6365303031"

def amf0(v):
    if isinstance(v, bool): return b"\x01" + bytes([v])
    if isinstance(v, (int, float)): return b"\x00" + struct.pack(">d", v)
    if isinstance(v, str): return b"\x02" + struct.pack(">H", len(v.encode())) + v.encode()
    if v is None: return b"\x05"
    return b"\x03" + b"".join(struct.pack(">H", len(k)) + k.encode() + amf0(x) for k, x in v.items()) + b"\x00\x00\x09"

def decode_amf0(data):
    """The AMF0 values of a body, up to the first one it cannot read (AMF3 values, say)."""
    pos, out = 0, []
    def take(n):
        nonlocal pos
        if pos + n > len(data): raise ValueError()
        pos += n
        return data[pos - n:pos]
    def text(width): return take(int.from_bytes(take(width), "big")).decode(errors="replace")
    def value():
        m = take(1)[0]
        if m == 0: x = struct.unpack(">d", take(8))[0]; return x if math.isfinite(x) else repr(x)
        if m == 1: return take(1)[0] != 0
        if m in (2, 0x0C): return text(2 if m == 2 else 4)
        if m in (5, 6): return None
        if m not in (3, 8): raise ValueError()
        take(4 if m == 8 else 0)  # an ECMA array's count
        obj = {}
        while (key := text(2)) or data[pos:pos + 1] != b"\x09": obj[key] = value()
        take(1)
        return obj
    try:
        while pos < len(data): out.append(value())
    except ValueError: pass
    return out

class ChunkReader:
    """Reassembles chunk stream messages; next() gives one, or None while bytes are missing."""
    def __init__(self): self.buf, self.size, self.streams = bytearray(), 128, {}
    def next(self):
        while True:
            b, p = self.buf, 1
            if not b: return None
            fmt, cs, hl = b[0] >> 6, b[0] & 0x3F, (11, 7, 3, 0)[b[0] >> 6]
            if cs < 2: raise ValueError("chunk stream id %d: the client uses only one-byte basic headers" % cs)
            if len(b) < p + hl: return None
            st = self.streams.setdefault(cs, SimpleNamespace(ts=0, delta=0, length=0, type=0, sid=0, ext=False, body=None))
            h, p = bytes(b[p:p + hl]), p + hl
            field = int.from_bytes(h[0:3], "big") if fmt < 3 else 0
            length, mtype = (int.from_bytes(h[3:6], "big"), h[6]) if fmt < 2 else (st.length, st.type)
            sid = struct.unpack("<I", h[7:11])[0] if fmt == 0 else st.sid
            ext = st.ext if fmt == 3 else field == 0xFFFFFF
            if ext:
                if len(b) < p + 4: return None
                if fmt < 3: field = struct.unpack(">I", b[p:p + 4])[0]
                p += 4
            starting = fmt != 3 or st.body is None
            n = min(self.size, length if starting else st.remaining)
            if len(b) < p + n: return None
            if fmt == 0: st.ts, st.delta = field, 0
            elif fmt < 3: st.delta = field
            st.ext, st.length, st.type, st.sid = ext, length, mtype, sid
            if starting:
                if fmt: st.ts = (st.ts + st.delta) & 0xFFFFFFFF
                st.body, st.remaining, st.chunks = bytearray(), length, 0
            st.body += b[p:p + n]
            st.remaining, st.chunks = st.remaining - n, st.chunks + 1
            del b[:p + n]
            if st.remaining == 0:
                body, st.body = bytes(st.body), None
                return SimpleNamespace(csid=cs, ts=st.ts, type=mtype, sid=sid, body=body, chunks=st.chunks)

class Closed(Exception): pass

class Session:
    def __init__(self, server, sock, index):
        self.server, self.o, self.sock, self.index = server, server.o, sock, index
        self.reader, self.out_size, self.pending, self.media, self.next_sid = ChunkReader(), 128, bytearray(), 0, self.o.stream_id
    def log(self, direction, kind, **fields): self.server.write(conn=self.index, dir=direction, kind=kind, **fields)
    def recv(self):
        while not self.server.stopping.is_set():
            if select.select([self.sock], [], [], 0.1)[0]:
                if data := self.sock.recv(65536): return data
                break
        raise Closed()
    def read(self, n):
        while len(self.pending) < n: self.pending += self.recv()
        out, self.pending = bytes(self.pending[:n]), self.pending[n:]
        return out
    def send_message(self, csid, mtype, sid, body):
        out = bytearray([csid]) + bytes(3) + len(body).to_bytes(3, "big") + bytes([mtype]) + struct.pack("<I", sid)
        for i in range(0, max(len(body), 1), self.out_size):
            out += (bytes([0xC0 | csid]) if i else b"") + body[i:i + self.out_size]
        self.sock.sendall(out)
        self.log("out", "message", type=mtype, csid=csid, stream_id=sid, wire=len(out), body=body.hex())
    def send_command(self, *values, csid=3, sid=0, flex=False):
        self.send_message(csid, 17 if flex else 20, sid, (b"\x00" if flex else b"") + b"".join(map(amf0, values)))
    def send_status(self, level, code, sid):
        self.send_command("onStatus", 0.0, None, {"level": level, "code": code, "description": code}, csid=5, sid=sid)
    def send_error(self, txn, code, description):
        self.send_command("_error", txn, None, {"level": "error", "code": code, "description": description})
    def handshake(self):
        o, c0c1 = self.o, self.read(1 + HS)
        c1, s0, s1 = c0c1[1:], bytes([o.s0_version]), struct.pack(">II", 0, o.s1_zero) + random.randbytes(HS - 8)
        for name, block in (("C0", c0c1[:1]), ("C1", c1)): self.log("in", "handshake", block=name, body=block.hex())
        self.sock.sendall(s0 + s1 + (b"" if o.no_s2 else c1))
        for name, block in (("S0", s0), ("S1", s1)): self.log("out", "handshake", block=name, body=block.hex())
        while o.no_s2 or o.s0_version != 3:  # the client should send nothing more
            self.log("in", "raw", body=(bytes(self.pending) + self.recv()).hex())
            self.pending.clear()
        self.log("out", "handshake", block="S2", body=c1.hex())
        self.log("in", "handshake", block="C2", body=self.read(HS).hex())
    def serve(self):
        self.handshake()
        self.reader.buf += self.pending
        while True:
            while (m := self.reader.next()) is not None: self.on_message(m)
            self.reader.buf += self.recv()
    def on_message(self, m):
        f = {"type": m.type, "csid": m.csid, "stream_id": m.sid, "timestamp": m.ts, "chunks": m.chunks, "body": m.body.hex()}
        if m.type in (15, 17, 18, 19, 20):
            f["amf"] = values = decode_amf0(m.body[1:] if m.type in (15, 17) else m.body)
            if values and isinstance(values[0], str): f["name"] = values[0]
        if m.type == 4 and len(m.body) >= 6: f["event"], f["value"] = struct.unpack(">HI", m.body[:6])
        elif m.type in (1, 3, 5, 6) and len(m.body) >= 4: f["value"] = struct.unpack(">I", m.body[:4])[0]
        self.log("in", "message", **f)
        if 0 < self.o.max_message < len(m.body): raise Closed()  # as nginx-rtmp's max_message does
        if m.type == 1 and f.get("value"): self.reader.size = f["value"] & 0x7FFFFFFF
        if m.type in (8, 9): self.media += 1; self.run("media:%d" % self.media)
        if m.type in (17, 20) and "name" in f:
            self.run(f["name"])
            txn = values[1] if len(values) > 1 and isinstance(values[1], float) else 0.0
            getattr(self, "cmd_" + f["name"], lambda *_: None)(values, txn, m)
    def cmd_connect(self, values, txn, m):
        o = self.o
        if o.auth:
            verdict, text = self.server.check_auth(values[2].get("app", "") if len(values) > 2 and isinstance(values[2], dict) else "")
            self.log("", "auth", event=verdict)
            if verdict != "accept":
                self.send_error(txn, "NetConnection.Connect.Rejected", "[ AccessManager.Reject ] : " + text)
                if not o.keep_open_after_refusal: raise Closed()
                return
        if o.connect_reply == "result":
            self.send_command("_result", txn, {"fmsVer": "FMS/3,5,7,7009", "capabilities": 31.0},
                              {"level": "status", "code": "NetConnection.Connect.Success", "objectEncoding": 0.0})
        elif o.connect_reply != "none": self.send_error(txn, "NetConnection.Connect.Rejected", o.connect_reply)
    def cmd_createStream(self, values, txn, m):
        if self.o.create_stream_reply == "none": return
        if self.o.create_stream_reply == "stray": self.send_command("_result", 1.0, None, 99.0)  # another transaction's
        self.send_command("_result", txn, None, float(self.next_sid))
        self.next_sid += 1
    def cmd_publish(self, values, txn, m):
        if self.o.bad_name: self.send_status("error", "NetStream.Publish.BadName", m.sid)
        elif self.o.publish_error: self.send_error(txn, "NetStream.Publish.Denied", "publish refused")
        else: self.send_status("status", "NetStream.Publish.Start", m.sid)
    def cmd_FCPublish(self, values, txn, m):
        if self.o.fcpublish_flex: self.send_command("onFCPublish", 0.0, None, {"code": "NetStream.Publish.Start"}, flex=True)
    def cmd_FCUnpublish(self, values, txn, m): self.send_status("status", "NetStream.Unpublish.Success", m.sid)
    def run(self, trigger):
        for a in self.o.action:
            if a["on"] == trigger and a.get("connection", self.index) == self.index: self.act(a)
    def act(self, a):
        """Kinds: close, user_control (event, value), chunk_size, window_ack, peer_bandwidth (value)."""
        kind, value = a["send"], a.get("value", 0)
        if kind == "close": raise Closed()
        if kind == "user_control": return self.send_message(2, 4, 0, struct.pack(">HI", a["event"], value))
        mtype = {"chunk_size": 1, "window_ack": 5, "peer_bandwidth": 6}[kind]
        self.send_message(2, mtype, 0, struct.pack(">I", value) + (b"\x02" if mtype == 6 else b""))
        if mtype == 1: self.out_size = value
    def run_thread(self):
        try: self.serve()
        except (Closed, OSError): pass
        finally: self.sock.close(); self.server.ended()

class Server:
    def __init__(self, o):
        self.o, self.file, self.lock, self.stopping, self.seq, self.closed = o, open(o.record, "w"), threading.Lock(), threading.Event(), 0, 0
    def write(self, **fields):
        with self.lock:
            if self.file:
                self.file.write(json.dumps({"seq": self.seq, **fields}) + "\n")
                self.file.flush()
                self.seq += 1
    def ended(self):
        with self.lock:
            self.closed += 1
            if 0 < self.o.max_connections <= self.closed: self.stopping.set()
    def check_auth(self, app):
        """The verdict on a connect's app and the text of the refusal."""
        o, md5 = self.o, lambda text: hashlib.md5(text.encode())
        path, _, query = app.partition("?")
        q = dict(kv.split("=", 1) for kv in query.split("&") if "=" in kv)
        mod = "[ authmod=%s ] : ?reason=" % o.auth
        if q.get("authmod") != o.auth: return "need_auth", "[ code=403 need auth; authmod=%s ] : " % o.auth
        if "response" not in q and o.auth == "llnw": return "challenge", mod + "needauth&user=%s&nonce=%s" % (q.get("user"), NONCE)
        if "response" not in q:
            return "challenge", mod + "needauth&user=%s&salt=%s&challenge=%s&opaque=%s" % (q.get("user"), SALT, CHALLENGE, OPAQUE)
        if o.auth == "adobe":
            b64 = lambda text: base64.b64encode(md5(text).digest()).decode()
            expected = b64(b64(o.user + SALT + o.password) + CHALLENGE + q.get("challenge", ""))
        else:
            ha1, ha2 = md5("%s:live:%s" % (o.user, o.password)).hexdigest(), md5("publish:/" + path).hexdigest()
            expected = md5("%s:%s:%s:%s:auth:%s" % (ha1, q.get("nonce"), q.get("nc"), q.get("cnonce"), ha2)).hexdigest()
        if q.get("user") == o.user and q["response"] == expected: return "accept", ""
        return "refuse", mod + "authfailed"
    def run(self):
        listener = socket.create_server(("127.0.0.1", 0))
        print("PORT %d" % listener.getsockname()[1], flush=True)
        deadline, threads = time.monotonic() + self.o.time_limit, []
        while not self.stopping.is_set() and time.monotonic() < deadline:
            if not select.select([listener], [], [], 0.05)[0]: continue
            sock, _ = listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threads.append(threading.Thread(target=Session(self, sock, len(threads)).run_thread, daemon=True))
            threads[-1].start()
        self.stopping.set()
        listener.close()
        for t in threads: t.join(timeout=2.0)
        with self.lock: self.file.close(); self.file = None

def main(argv):
    p = argparse.ArgumentParser(description=__doc__)
    # --connect-reply: result, none, or the description of an _error; --drop-after: --action's "on"
    for flag, default in [("max-connections", 0), ("s0-version", 3), ("s1-zero", 0), ("stream-id", 1), ("time-limit", 60.0),
                          ("record", ""), ("connect-reply", "result"), ("create-stream-reply", "result"), ("auth", ""),
                          ("user", "user"), ("password", "pass"), ("drop-after", ""), ("max-message", 0)]:
        p.add_argument("--" + flag, type=type(default), default=default)
    for flag in ["no-s2", "bad-name", "publish-error", "fcpublish-flex", "keep-open-after-refusal"]:
        p.add_argument("--" + flag, action="store_true")
    p.add_argument("--action", type=json.loads, action="append", default=[])
    o = p.parse_args(argv)
    if o.drop_after: o.action.append({"on": o.drop_after, "send": "close"})
    server = Server(o)
    signal.signal(signal.SIGTERM, lambda *_: server.stopping.set())
    return server.run()

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
