#!/usr/bin/env python3
"""A scriptable RTMP server for tests of the publishing client.

It accepts publishers on 127.0.0.1 or ::1 (port chosen by the kernel), answers the handshake and
the publish commands the way a scenario asks (refusals, missing replies, odd handshakes, protocol
control messages, adobe/llnw authentication, dropped connections) and writes every block and
message it receives or sends as one JSON object per line into the record file, so a test can
assert on the exact bytes on the wire.

The chosen port is printed as "PORT <n>" on the first line of stdout (and written to --port-file).
Exit: after --max-connections connections have closed, after a published session closed with
--exit-after-publish, --linger seconds after the last connection closed, on SIGTERM, or at
--time-limit (exit code 3).

Record lines (JSON objects, in the order things happened; "seq" counts them, "t_ms" is the time
since start, "conn" the connection index):
  {"kind":"server","event":"listening"|"exit", "reason":...}
  {"kind":"connection","event":"open"|"close", "reason", "bytes_in", "published", "leftover"}
  {"kind":"handshake","dir":"in"|"out","block":"C0"|"C1"|"S0"|"S1"|"S2"|"C2","hex":...}
      C0/S0 carry "version", C1 "time"/"zero", C2 "matches_s1" and "bytes_before_s2"
  {"kind":"message","dir":"in", "type","csid","stream_id" (decoded little-endian),
      "timestamp" (absolute), "fmt" (first chunk), "header_ts" (raw field of the first chunk),
      "extended", "chunk_fmts", "ext_on_continuation", "length", "body" (hex),
      "amf" (decoded AMF0 values of types 15/17/18/19/20), "amf_meta" (per top-level value:
      "marker", and "keys" in wire order and ECMA "count"), "amf_error", "name",
      "value"/"limit"/"event" for protocol control and user control messages}
  {"kind":"message","dir":"out", ..., "note": what it is}
  {"kind":"raw","dir":"in"|"out","hex"}   bytes outside the chunk stream
  {"kind":"auth","event":"need_auth"|"challenge"|"accept"|"refuse","detail","app"}
  {"kind":"note"|"error","text"}

Scripted sends ("actions", or --action): {"on": trigger, "send": kind, ...} with triggers c1,
handshake, connect (before the connect answer), connected, create_stream, publish (after the
publish answer), fcunpublish, delete_stream, media:N, message:N, an optional "connection": index,
and kinds chunk_size, window_ack, peer_bandwidth (value, limit), ack, ping (value = timestamp),
user_control (event, value), on_status (level, code, description), invoke (name, txn, args,
csid, type, stream_id), raw (hex), sleep (ms), close.
"""

import argparse
import base64
import hashlib
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtmp_wire  # noqa: E402
from rtmp_wire import amf0_all, write_chunks  # noqa: E402

HANDSHAKE_SIZE = 1536
EXIT_TIME_LIMIT = 3

SCENARIO_KEYS = {
    "host", "s0_version", "no_s2", "s2_delay_ms", "s1_zero", "handshake_writes",
    "connect_reply", "create_stream_reply", "publish_reply", "release_reply", "fcpublish_reply",
    "fcunpublish_reply", "bad_name", "stream_id", "stream_begin", "chunk_size", "window_ack",
    "peer_bandwidth", "ping", "drop_after", "auth", "user", "password", "salt", "challenge",
    "opaque", "nonce", "keep_open_after_refusal", "max_connections", "exit_after_publish",
    "linger", "time_limit", "media_hex_limit", "actions",
}


# ---------------------------------------------------------------- record

class Recorder:
    """Writes the JSON lines record; one lock orders lines from all connection threads."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "w", encoding="utf-8") if path else None
        self.seq = 0
        self.start = time.monotonic()

    def write(self, **fields):
        with self.lock:
            line = {"seq": self.seq, "t_ms": int((time.monotonic() - self.start) * 1000)}
            self.seq += 1
            line.update(fields)
            if self.file:
                self.file.write(json.dumps(line, allow_nan=False) + "\n")
                self.file.flush()

    def close(self):
        with self.lock:
            if self.file:
                self.file.close()
                self.file = None


# ---------------------------------------------------------------- authentication

def md5_b64(text):
    return base64.b64encode(hashlib.md5(text.encode("utf-8")).digest()).decode("ascii")


def md5_hex(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def parse_query(app):
    """Splits 'app/inst?x=1&authmod=adobe&user=u' into the app path and the query pairs."""
    if "?" not in app:
        return app, {}
    path, query = app.split("?", 1)
    params = {}
    for part in query.split("&"):
        if "=" in part:
            key, value = part.split("=", 1)
            params.setdefault(key, value)
    return path, params


class Auth:
    """Server side of the adobe and llnw challenge exchanges. The secrets are fixed for the
    server's life, so a client that reconnects between the steps meets the same challenge."""

    REJECT = "[ AccessManager.Reject ] : "

    def __init__(self, opts):
        self.mode = opts.auth
        self.user = opts.user
        self.password = opts.password
        self.salt = opts.salt
        self.challenge = opts.challenge
        self.opaque = opts.opaque
        self.nonce = opts.nonce

    def need_auth_text(self):
        return self.REJECT + "[ code=403 need auth; authmod=%s ] : " % self.mode

    def challenge_text(self, user):
        if self.mode == "adobe":
            text = "?reason=needauth&user=%s&salt=%s&challenge=%s" % (user, self.salt,
                                                                       self.challenge)
            if self.opaque:
                text += "&opaque=" + self.opaque
        else:
            text = "?reason=needauth&user=%s&nonce=%s" % (user, self.nonce)
        return self.REJECT + "[ authmod=%s ] : %s" % (self.mode, text)

    def failed_text(self, reason):
        return self.REJECT + "[ authmod=%s ] : ?reason=%s" % (self.mode, reason)

    def check(self, app):
        """Returns (verdict, detail): verdict is 'accept', 'need_auth', 'challenge' or 'refuse';
        detail names the matching response variant or the reason of a refusal."""
        path, params = parse_query(app)
        if params.get("authmod") != self.mode:
            return "need_auth", None
        if "response" not in params:
            return "challenge", None
        if params.get("user") != self.user:
            return "refuse", "nosuchuser"
        if self.mode == "adobe":
            hash1 = md5_b64(self.user + self.salt + self.password)
            cchallenge = params.get("challenge", "")
            candidates = [("server-challenge", self.challenge)]
            if self.opaque:
                candidates.append(("opaque", self.opaque))
            for name, secret in candidates:
                if params["response"] == md5_b64(hash1 + secret + cchallenge):
                    return "accept", name
            return "refuse", "authfailed"
        if params.get("nonce") != self.nonce:
            return "refuse", "authfailed"
        ha1 = md5_hex("%s:live:%s" % (self.user, self.password))
        plain = "&".join("%s=%s" % kv for kv in params.items()
                         if kv[0] not in ("authmod", "user", "nonce", "nc", "cnonce", "response"))
        apps = [path] + ([path + "?" + plain] if plain else [])
        apps += [a + "/_definst_" for a in apps if "/" not in a.split("?")[0]]
        for name in apps:
            ha2 = md5_hex("publish:/" + name)
            expected = md5_hex("%s:%s:%s:%s:auth:%s" % (ha1, self.nonce, params.get("nc", ""),
                                                        params.get("cnonce", ""), ha2))
            if params["response"].lower() == expected:
                return "accept", "app=" + name + " nc=" + params.get("nc", "")
        return "refuse", "authfailed"


# ---------------------------------------------------------------- one connection

class Closed(Exception):
    pass


class Session:
    def __init__(self, server, sock, index):
        self.server = server
        self.opts = server.opts
        self.rec = server.rec
        self.sock = sock
        self.index = index
        self.reader = rtmp_wire.ChunkReader()
        self.out_chunk_size = 128
        self.media_count = 0
        self.message_count = 0
        self.next_stream_id = self.opts.stream_id
        self.stream_id = 0
        self.published = False
        self.bytes_in = 0
        self.pending = bytearray()

    # ------------------------------------------------------------ I/O
    def log(self, **fields):
        self.rec.write(conn=self.index, **fields)

    def recv_some(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return None
        data = self.sock.recv(65536)
        if not data:
            raise Closed("eof")
        self.bytes_in += len(data)
        return data

    def read_exact(self, n):
        while len(self.pending) < n:
            if self.server.stopping.is_set():
                raise Closed("server stopping")
            data = self.recv_some(0.1)
            if data:
                self.pending += data
        out = bytes(self.pending[:n])
        del self.pending[:n]
        return out

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_message(self, csid, type_id, stream_id, body, timestamp=0, note=None):
        self.send_raw(write_chunks(csid, timestamp, type_id, stream_id, body, self.out_chunk_size))
        fields = {"dir": "out", "kind": "message", "type": type_id, "csid": csid,
                  "stream_id": stream_id, "timestamp": timestamp, "length": len(body),
                  "body": body.hex()}
        if note:
            fields["note"] = note
        self.log(**fields)

    def send_command(self, name, txn, *args, csid=3, stream_id=0):
        body = amf0_all([name, txn] + list(args))
        self.send_message(csid, 20, stream_id, body, note=name)

    # ------------------------------------------------------------ handshake
    def handshake(self):
        c0 = self.read_exact(1)
        self.log(dir="in", kind="handshake", block="C0", hex=c0.hex(), version=c0[0])
        c1 = self.read_exact(HANDSHAKE_SIZE)
        time_field, zero = struct.unpack(">II", c1[:8])
        self.log(dir="in", kind="handshake", block="C1", hex=c1.hex(), time=time_field,
                 zero=zero)
        self.run_actions("c1")
        s0 = bytes([self.opts.s0_version & 0xFF])
        s1 = (struct.pack(">II", int(time.monotonic() * 1000) & 0xFFFFFFFF,
                          self.opts.s1_zero & 0xFFFFFFFF) +
              bytes(random.getrandbits(8) for _ in range(HANDSHAKE_SIZE - 8)))
        s2 = c1
        writes = self.opts.handshake_writes
        s2_sent = False
        if writes == "together" and not self.opts.no_s2 and self.opts.s2_delay_ms <= 0:
            self.send_raw(s0 + s1 + s2)
            s2_sent = True
        else:
            self.send_raw(s0)
            if writes == "split":
                self.send_raw(s1[:700])
                time.sleep(0.05)  # so the client sees S1 in two reads
                self.send_raw(s1[700:])
            else:
                self.send_raw(s1)
        self.log(dir="out", kind="handshake", block="S0", hex=s0.hex(), version=s0[0])
        self.log(dir="out", kind="handshake", block="S1", hex=s1.hex())
        if s2_sent:
            self.log(dir="out", kind="handshake", block="S2", hex=s2.hex())
        if self.opts.no_s2 or self.opts.s0_version != 3:
            if not self.opts.no_s2 and not s2_sent:
                self.send_raw(s2)
                self.log(dir="out", kind="handshake", block="S2", hex=s2.hex())
            self.drain("handshake incomplete: S2 withheld" if self.opts.no_s2
                       else "handshake version %d" % self.opts.s0_version)
            raise Closed("client closed after an unusable handshake")
        early = 0
        if self.opts.s2_delay_ms > 0:
            deadline = time.monotonic() + self.opts.s2_delay_ms / 1000.0
            while time.monotonic() < deadline:
                data = self.recv_some(max(0.0, deadline - time.monotonic()))
                if data:
                    self.pending += data
            early = len(self.pending)
        if not s2_sent:
            self.send_raw(s2)
            self.log(dir="out", kind="handshake", block="S2", hex=s2.hex())
        c2 = self.read_exact(HANDSHAKE_SIZE)
        self.log(dir="in", kind="handshake", block="C2", hex=c2.hex(), matches_s1=(c2 == s1),
                 bytes_before_s2=early)
        self.reader.feed(bytes(self.pending))
        self.pending.clear()

    def drain(self, why):
        """Records whatever the client still sends (it should send nothing) until it closes."""
        self.log(kind="note", text=why)
        if self.pending:
            self.log(dir="in", kind="raw", hex=bytes(self.pending).hex())
            self.pending.clear()
        while not self.server.stopping.is_set():
            data = self.recv_some(0.1)
            if data:
                self.log(dir="in", kind="raw", hex=data.hex())

    # ------------------------------------------------------------ chunk phase
    def serve(self):
        self.handshake()
        self.run_actions("handshake")
        while not self.server.stopping.is_set():
            while True:
                msg = self.reader.next()
                if msg is None:
                    break
                self.on_message(msg)
            data = self.recv_some(0.1)
            if data:
                self.reader.feed(data)

    def record_message(self, msg):
        fields = {"dir": "in", "kind": "message", "type": msg.type_id, "csid": msg.csid,
                  "stream_id": msg.stream_id, "timestamp": msg.timestamp, "fmt": msg.fmt,
                  "header_ts": msg.header_ts, "extended": msg.extended,
                  "chunk_fmts": msg.chunk_fmts, "length": len(msg.body)}
        if msg.ext_on_continuation:
            fields["ext_on_continuation"] = True
        limit = self.opts.media_hex_limit
        body = msg.body
        if msg.type_id in (8, 9) and 0 <= limit < len(body):
            fields["truncated"] = True
            body = body[:limit]
        fields["body"] = body.hex()
        values = None
        if msg.type_id in (15, 17, 18, 19, 20):
            payload = msg.body[1:] if msg.type_id in (15, 17) and msg.body[:1] == b"\x00" \
                else msg.body
            values, meta, error = rtmp_wire.decode_amf0(payload)
            fields["amf"] = rtmp_wire.to_json(values)
            fields["amf_meta"] = meta
            if error:
                fields["amf_error"] = error
                self.log(kind="error", text="AMF0 decoding: " + error)
            if values and isinstance(values[0], str):
                fields["name"] = values[0]
        if msg.type_id in (1, 2, 3, 5) and len(msg.body) >= 4:
            fields["value"] = struct.unpack(">I", msg.body[:4])[0]
        if msg.type_id == 6 and len(msg.body) >= 5:
            fields["value"] = struct.unpack(">I", msg.body[:4])[0]
            fields["limit"] = msg.body[4]
        if msg.type_id == 4 and len(msg.body) >= 2:
            fields["event"] = struct.unpack(">H", msg.body[:2])[0]
            if len(msg.body) >= 6:
                fields["value"] = struct.unpack(">I", msg.body[2:6])[0]
        self.log(**fields)
        return values

    def on_message(self, msg):
        values = self.record_message(msg)
        self.message_count += 1
        if msg.type_id == 1 and len(msg.body) >= 4:
            size = struct.unpack(">I", msg.body[:4])[0] & 0x7FFFFFFF
            if size < 1:
                self.log(kind="error", text="Set Chunk Size of 0 ignored")
            else:
                self.reader.chunk_size = size
        elif msg.type_id in (8, 9):
            self.media_count += 1
            self.run_actions("media:%d" % self.media_count)
        elif msg.type_id in (17, 20) and values and isinstance(values[0], str):
            self.on_command(values[0], values, msg)
        self.run_actions("message:%d" % self.message_count)

    def txn(self, values):
        return values[1] if len(values) > 1 and isinstance(values[1], float) else 0.0

    def on_command(self, name, values, msg):
        opts = self.opts
        txn = self.txn(values)
        if name == "connect":
            self.on_connect(values, txn)
        elif name == "releaseStream":
            if opts.release_reply == "result":
                self.send_command("_result", txn, None)
        elif name == "FCPublish":
            stream = values[3] if len(values) > 3 else ""
            if opts.fcpublish_reply != "none":
                self.send_on_fc("onFCPublish", "NetStream.Publish.Start", stream,
                                opts.fcpublish_reply)
        elif name == "createStream":
            self.on_create_stream(txn)
        elif name == "publish":
            self.on_publish(values, txn, msg)
        elif name == "FCUnpublish":
            stream = values[3] if len(values) > 3 else ""
            if opts.fcunpublish_reply == "onstatus":
                self.send_status("status", "NetStream.Unpublish.Success",
                                 "%s is now unpublished." % stream,
                                 msg.stream_id or self.stream_id)
            elif opts.fcunpublish_reply != "none":
                self.send_on_fc("onFCUnpublish", "NetStream.Unpublish.Success", stream,
                                opts.fcunpublish_reply)
            self.run_actions("fcunpublish")
        elif name == "deleteStream":
            self.run_actions("delete_stream")

    def send_on_fc(self, name, code, stream, form):
        info = {"code": code, "description": stream}
        if form == "flex":
            body = b"\x00" + amf0_all([name, 0.0, None, info])
            self.send_message(3, 17, 0, body, note=name)
        else:
            self.send_command(name, 0.0, None, info)

    def send_status(self, level, code, description, stream_id):
        info = {"level": level, "code": code, "description": description}
        self.send_command("onStatus", 0.0, None, info, csid=5, stream_id=stream_id)

    def send_error(self, txn, code, description):
        info = {"level": "error", "code": code, "description": description}
        self.send_command("_error", txn, None, info)

    def on_connect(self, values, txn):
        opts = self.opts
        props = values[2] if len(values) > 2 and isinstance(values[2], dict) else {}
        app = props.get("app", "") if isinstance(props.get("app"), str) else ""
        self.run_actions("connect")
        if opts.auth != "none":
            verdict, detail = self.server.auth.check(app)
            self.log(kind="auth", event=verdict, detail=detail, app=app)
            if verdict != "accept":
                if verdict == "need_auth":
                    text = self.server.auth.need_auth_text()
                elif verdict == "challenge":
                    _, params = parse_query(app)
                    text = self.server.auth.challenge_text(params.get("user", ""))
                else:
                    text = self.server.auth.failed_text(detail)
                self.send_error(txn, "NetConnection.Connect.Rejected", text)
                if not opts.keep_open_after_refusal:
                    raise Closed("refused connect")
                return
        reply = opts.connect_reply
        if reply == "none":
            return
        if reply == "close":
            raise Closed("connect answered by closing")
        if reply == "error_app":
            self.send_error(txn, "NetConnection.Connect.Rejected",
                            "Connection failed: Application folder (/srv/rtmp/applications/%s)"
                            " is missing." % app.split("?")[0])
            return
        if reply == "reject":
            self.send_error(txn, "NetConnection.Connect.Rejected",
                            "[ AccessManager.Reject ] : [ code=403 ] : Access denied.")
            return
        self.send_command("_result", txn,
                          {"fmsVer": "FMS/3,5,7,7009", "capabilities": 31.0, "mode": 1.0},
                          {"level": "status", "code": "NetConnection.Connect.Success",
                           "description": "Connection succeeded.", "objectEncoding": 0.0})
        self.run_actions("connected")

    def on_create_stream(self, txn):
        reply = self.opts.create_stream_reply
        if reply == "none":
            return
        if reply == "close":
            raise Closed("createStream answered by closing")
        if reply == "error":
            self.send_error(txn, "NetConnection.Call.Failed", "createStream refused")
            return
        if reply == "stray":
            # An answer to another transaction first: the client must keep waiting for its own.
            self.send_command("_result", 1.0, None, 99.0)
        self.stream_id = self.next_stream_id
        self.next_stream_id += 1
        self.send_command("_result", txn, None, float(self.stream_id))
        self.run_actions("create_stream")

    def on_publish(self, values, txn, msg):
        opts = self.opts
        stream = values[3] if len(values) > 3 and isinstance(values[3], str) else ""
        reply = opts.publish_reply
        if reply == "none":
            return
        if reply == "close":
            raise Closed("publish answered by closing")
        if opts.stream_begin:
            self.send_message(2, 4, 0, struct.pack(">HI", 0, msg.stream_id), note="StreamBegin")
        if self.server.take_bad_name():
            self.send_status("error", "NetStream.Publish.BadName",
                             "%s is already publishing" % stream, msg.stream_id)
            return
        if reply == "error":
            self.send_error(txn, "NetStream.Publish.Denied", "publish refused")
            return
        self.send_status("status", "NetStream.Publish.Start", "%s is now published." % stream,
                         msg.stream_id)
        self.published = True
        self.run_actions("publish")

    # ------------------------------------------------------------ scripted actions
    def run_actions(self, trigger):
        for action in self.opts.actions:
            if action.get("on") != trigger:
                continue
            if "connection" in action and action["connection"] != self.index:
                continue
            self.do_action(action)

    def do_action(self, a):
        kind = a.get("send")
        value = int(a.get("value", 0)) & 0xFFFFFFFF
        if kind == "close":
            self.log(kind="note", text="closing the connection (scripted)")
            raise Closed("scripted close")
        if kind == "chunk_size":
            self.send_message(2, 1, 0, struct.pack(">I", value), note="SetChunkSize")
            self.out_chunk_size = max(1, value & 0x7FFFFFFF)
        elif kind == "window_ack":
            self.send_message(2, 5, 0, struct.pack(">I", value), note="WindowAckSize")
        elif kind == "peer_bandwidth":
            self.send_message(2, 6, 0, struct.pack(">IB", value, int(a.get("limit", 2))),
                              note="SetPeerBandwidth")
        elif kind == "ack":
            self.send_message(2, 3, 0, struct.pack(">I", value), note="Acknowledgement")
        elif kind == "ping":
            self.send_message(2, 4, 0, struct.pack(">HI", 6, value), note="PingRequest")
        elif kind == "user_control":
            self.send_message(2, 4, 0, struct.pack(">HI", int(a.get("event", 0)), value),
                              note="UserControl")
        elif kind == "on_status":
            self.send_status(a.get("level", "status"), a.get("code", ""),
                             a.get("description", ""), int(a.get("stream_id", self.stream_id)))
        elif kind == "invoke":
            body = amf0_all([a.get("name", ""), float(a.get("txn", 0))] + list(a.get("args", [])))
            self.send_message(int(a.get("csid", 3)), int(a.get("type", 20)),
                              int(a.get("stream_id", 0)), body, note=a.get("name", ""))
        elif kind == "raw":
            self.send_raw(bytes.fromhex(a.get("hex", "")))
            self.log(dir="out", kind="raw", hex=a.get("hex", ""))
        elif kind == "sleep":
            time.sleep(min(float(a.get("ms", 0)), 10000) / 1000.0)
        else:
            self.log(kind="error", text="unknown action %r" % kind)

    # ------------------------------------------------------------ life
    def run(self):
        reason = "eof"
        try:
            self.serve()
            reason = "server stopping"
        except Closed as why:
            reason = str(why)
        except rtmp_wire.AmfError as err:
            reason = "protocol error: %s" % err
            self.log(kind="error", text=reason)
        except OSError as err:
            reason = "socket error: %s" % err
        finally:
            leftover = bytes(self.pending) + bytes(self.reader.buf)
            fields = {"kind": "connection", "event": "close", "reason": reason,
                      "bytes_in": self.bytes_in, "published": self.published}
            if leftover:
                fields["leftover"] = leftover.hex()
            self.log(**fields)
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.sock.close()
            self.server.session_ended(self)


# ---------------------------------------------------------------- server

class Server:
    def __init__(self, opts):
        self.opts = opts
        self.rec = Recorder(opts.record)
        self.auth = Auth(opts) if opts.auth != "none" else None
        self.stopping = threading.Event()
        self.lock = threading.Lock()  # guards the counters below; any thread, leaf lock
        self.open_sessions = 0
        self.closed_sessions = 0
        self.last_close = None
        self.bad_names_left = opts.bad_name
        self.exit_reason = None

    def take_bad_name(self):
        with self.lock:
            if self.bad_names_left == 0:
                return False
            if self.bad_names_left > 0:
                self.bad_names_left -= 1
            return True

    def session_ended(self, session):
        with self.lock:
            self.open_sessions -= 1
            self.closed_sessions += 1
            self.last_close = time.monotonic()
            if self.opts.exit_after_publish and session.published:
                self.exit_reason = "published session closed"
            elif 0 < self.opts.max_connections <= self.closed_sessions:
                self.exit_reason = "connection limit reached"
            if self.exit_reason:
                self.stopping.set()

    def run(self):
        family = socket.AF_INET6 if ":" in self.opts.host else socket.AF_INET
        listener = socket.socket(family, socket.SOCK_STREAM)
        listener.bind((self.opts.host, 0))
        listener.listen(8)
        port = listener.getsockname()[1]
        self.rec.write(kind="server", event="listening", host=self.opts.host, port=port)
        if self.opts.port_file:
            tmp = self.opts.port_file + ".tmp"
            with open(tmp, "w", encoding="ascii") as f:
                f.write("%d\n" % port)
            os.replace(tmp, self.opts.port_file)
        print("PORT %d" % port, flush=True)
        deadline = time.monotonic() + self.opts.time_limit
        index = 0
        threads = []
        code = 0
        while not self.stopping.is_set():
            now = time.monotonic()
            if now >= deadline:
                self.exit_reason, code = "time limit", EXIT_TIME_LIMIT
                break
            with self.lock:
                idle = self.open_sessions == 0 and self.last_close is not None
                if idle and self.opts.linger >= 0 and now - self.last_close >= self.opts.linger:
                    self.exit_reason = "no connection after linger"
                    break
            ready, _, _ = select.select([listener], [], [], 0.05)
            if not ready:
                continue
            sock, peer = listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.open_sessions += 1
            self.rec.write(conn=index, kind="connection", event="open", peer=str(peer[0]))
            session = Session(self, sock, index)
            thread = threading.Thread(target=session.run, daemon=True)
            thread.start()
            threads.append(thread)
            index += 1
        self.stopping.set()
        listener.close()
        for thread in threads:
            thread.join(timeout=2.0)
        self.rec.write(kind="server", event="exit", reason=self.exit_reason or "stopped",
                       connections=index)
        self.rec.close()
        return code


def build_parser():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--record", help="JSON lines record file")
    p.add_argument("--port-file", help="file that receives the chosen port")
    p.add_argument("--scenario", help="JSON file whose keys set the options below; "
                   "'actions' adds scripted sends")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--s0-version", type=int, default=3)
    p.add_argument("--no-s2", action="store_true", help="send S0 and S1 only")
    p.add_argument("--s2-delay-ms", type=int, default=0,
                   help="hold S2 back this long, recording what the client sends meanwhile")
    p.add_argument("--s1-zero", type=int, default=0, help="value of S1's zero field")
    p.add_argument("--handshake-writes", choices=["together", "separate", "split"],
                   default="together", help="S0+S1+S2 in one write, one write each, or S1 cut")
    p.add_argument("--connect-reply", default="result",
                   choices=["result", "none", "close", "error_app", "reject"])
    p.add_argument("--create-stream-reply", default="result",
                   choices=["result", "none", "close", "error", "stray"])
    p.add_argument("--publish-reply", default="start", choices=["start", "none", "close", "error"])
    p.add_argument("--release-reply", default="none", choices=["none", "result"])
    p.add_argument("--fcpublish-reply", default="none", choices=["none", "invoke", "flex"])
    p.add_argument("--fcunpublish-reply", default="onstatus",
                   choices=["none", "onstatus", "invoke", "flex"])
    p.add_argument("--bad-name", type=int, default=0,
                   help="answer this many publishes with NetStream.Publish.BadName (-1: all)")
    p.add_argument("--stream-id", type=int, default=1, help="first id createStream returns")
    p.add_argument("--stream-begin", action="store_true",
                   help="send User Control Stream Begin before the publish answer")
    p.add_argument("--chunk-size", type=int, help="send Set Chunk Size before the connect reply")
    p.add_argument("--window-ack", type=int, help="send Window Ack Size before the connect reply")
    p.add_argument("--peer-bandwidth", type=int,
                   help="send Set Peer Bandwidth before the connect reply")
    p.add_argument("--ping", type=int, help="send a Ping Request with this time after publish")
    p.add_argument("--drop-after", help="close the connection at this trigger (c1, handshake, "
                   "connect, connected, create_stream, publish, media:N, message:N)")
    p.add_argument("--auth", choices=["none", "adobe", "llnw"], default="none")
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="pass")
    p.add_argument("--salt", default="Zq3vS4lt")
    p.add_argument("--challenge", default="Q2hhbGxlbmdl")
    p.add_argument("--opaque", default="T3BhcXVlVmFs", help="empty: no opaque in the challenge")
    p.add_argument("--nonce", default="4e6f6e6365303031")
    p.add_argument("--keep-open-after-refusal", action="store_true")
    p.add_argument("--max-connections", type=int, default=0)
    p.add_argument("--exit-after-publish", action="store_true")
    p.add_argument("--linger", type=float, default=2.0,
                   help="seconds to wait for a new connection after the last one closed "
                   "(negative: until the time limit)")
    p.add_argument("--time-limit", type=float, default=60.0)
    p.add_argument("--media-hex-limit", type=int, default=-1,
                   help="record at most this many body bytes of audio/video (-1: all)")
    p.add_argument("--action", action="append", default=[],
                   help="JSON object of one scripted send, e.g. "
                   "'{\"on\":\"publish\",\"send\":\"ping\",\"value\":7}'")
    return p


def parse_options(argv):
    parser = build_parser()
    first = parser.parse_args(argv)
    actions = []
    if first.scenario:
        with open(first.scenario, encoding="utf-8") as f:
            scenario = json.load(f)
        unknown = set(scenario) - SCENARIO_KEYS
        if unknown:
            parser.error("unknown scenario keys: %s" % ", ".join(sorted(unknown)))
        actions = list(scenario.pop("actions", []))
        parser.set_defaults(**scenario)
    opts = parser.parse_args(argv)
    shorthand = [("chunk_size", "connect"), ("window_ack", "connect"),
                 ("peer_bandwidth", "connect"), ("ping", "publish")]
    prefix = []
    for key, trigger in shorthand:
        if getattr(opts, key) is not None:
            prefix.append({"on": trigger, "send": key, "value": getattr(opts, key)})
    actions = prefix + actions + [json.loads(a) for a in opts.action]
    if opts.drop_after:
        actions.append({"on": opts.drop_after, "send": "close"})
    opts.actions = actions
    return opts


def main(argv):
    opts = parse_options(argv)
    server = Server(opts)

    def on_signal(signum, frame):
        server.exit_reason = "signal %d" % signum
        server.stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    return server.run()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
