"""The fake RTMP server driven by a small hand-made client: exact bytes of what it sends, what
it records of what it receives, its scenarios, its authentication and its behaviour on bad input.

Run: python3 -m unittest -v test_fake_rtmp_server  (from tests/tools)
"""

import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import rtmp_wire  # noqa: E402
from rtmp_wire import amf0_all, write_chunks  # noqa: E402

SCRIPT = os.path.join(HERE, "fake_rtmp_server.py")
C1 = bytes([0, 0, 0, 0, 0, 0, 0, 0]) + bytes((i * 7) & 0xFF for i in range(1528))


class ServerProcess:
    def __init__(self, *args, scenario=None):
        self.dir = tempfile.TemporaryDirectory(prefix="qv-fakertmp-py-")
        self.record_path = os.path.join(self.dir.name, "record.jsonl")
        cmd = [sys.executable, SCRIPT, "--record", self.record_path, "--time-limit", "30",
               "--linger", "0.5"]
        if scenario is not None:
            path = os.path.join(self.dir.name, "scenario.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(scenario, f)
            cmd += ["--scenario", path]
        self.proc = subprocess.Popen(cmd + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            self.proc.kill()
            raise RuntimeError("no port: %r %s" % (line, self.proc.stderr.read()))
        self.port = int(line.split()[1])

    def finish(self, timeout=15):
        code = self.proc.wait(timeout=timeout)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code

    def record(self):
        with open(self.record_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        for stream in (self.proc.stdout, self.proc.stderr):
            if not stream.closed:
                stream.close()
        self.dir.cleanup()


class Client:
    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.reader = rtmp_wire.ChunkReader()
        self.s1 = None

    def raw(self, n):
        """The next n bytes, counting those the chunk reader already holds."""
        out = bytes(self.reader.buf[:n])
        del self.reader.buf[:n]
        return out + self.recv_exact(n - len(out))

    def recv_exact(self, n):
        out = b""
        while len(out) < n:
            data = self.sock.recv(n - len(out))
            if not data:
                raise EOFError("closed after %d of %d bytes" % (len(out), n))
            out += data
        return out

    def handshake(self):
        self.sock.sendall(b"\x03" + C1)
        reply = self.recv_exact(1 + 1536 * 2)
        self.s1 = reply[1:1537]
        self.sock.sendall(self.s1)
        return reply

    def send(self, csid, type_id, stream_id, body, timestamp=0, chunk=128):
        self.sock.sendall(write_chunks(csid, timestamp, type_id, stream_id, body, chunk))

    def command(self, name, txn, *args, csid=3, stream_id=0):
        self.send(csid, 20, stream_id, amf0_all([name, float(txn)] + list(args)))

    def message(self):
        while True:
            msg = self.reader.next()
            if msg is not None:
                if msg.type_id == 1:
                    self.reader.chunk_size = struct.unpack(">I", msg.body[:4])[0]
                return msg
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed")
            self.reader.feed(data)

    def values(self, msg):
        values, _, error = rtmp_wire.decode_amf0(msg.body)
        assert error is None, error
        return values

    def connect(self, app="live", extra=None):
        props = {"app": app, "flashVer": "FMLE/3.0 (compatible; FMSc/1.0)",
                 "tcUrl": "rtmp://127.0.0.1/" + app}
        props.update(extra or {})
        self.command("connect", 1, props)

    def publish_sequence(self, stream="x"):
        self.command("releaseStream", 1, None, stream)
        self.command("FCPublish", 2, None, stream)
        self.command("createStream", 3, None)

    def close(self):
        self.sock.close()


def select(record, **fields):
    return [r for r in record if all(r.get(k) == v for k, v in fields.items())]


class ServerCase(unittest.TestCase):
    def server(self, *args, scenario=None):
        srv = ServerProcess(*args, scenario=scenario)
        self.addCleanup(srv.close)
        return srv

    def client(self, srv, handshake=True):
        c = Client(srv.port)
        self.addCleanup(c.close)
        if handshake:
            c.handshake()
        return c

    def expect_command(self, client, name):
        msg = client.message()
        values = client.values(msg)
        self.assertEqual(values[0], name, values)
        return msg, values


class HandshakeTest(ServerCase):
    def test_blocks_come_in_wire_order_and_s2_echoes_c1(self):
        srv = self.server("--max-connections", "1")
        c = self.client(srv, handshake=False)
        reply = c.handshake()
        self.assertEqual(reply[0], 3)
        self.assertEqual(reply[1 + 1536:], C1)
        c.close()
        self.assertEqual(srv.finish(), 0)
        rec = srv.record()
        blocks = [(r["dir"], r["block"]) for r in select(rec, kind="handshake")]
        self.assertEqual(blocks, [("in", "C0"), ("in", "C1"), ("out", "S0"), ("out", "S1"),
                                  ("out", "S2"), ("in", "C2")])
        c2 = select(rec, block="C2")[0]
        self.assertTrue(c2["matches_s1"])
        self.assertEqual(c2["bytes_before_s2"], 0)
        self.assertEqual(select(rec, block="C1")[0]["hex"], C1.hex())
        self.assertEqual(select(rec, event="exit")[0]["reason"], "connection limit reached")

    def test_s0_version_and_s1_zero_field_follow_the_scenario(self):
        for version in (6, 9):
            with self.subTest(version=version):
                srv = self.server("--s0-version", str(version), "--s1-zero", "5",
                                  "--max-connections", "1")
                c = self.client(srv, handshake=False)
                c.sock.sendall(b"\x03" + C1)
                reply = c.recv_exact(1 + 1536 * 2)
                self.assertEqual(reply[0], version)
                self.assertEqual(reply[5:9], b"\x00\x00\x00\x05")
                # Anything a client sends after an unusable S0 is recorded, not parsed.
                c.sock.sendall(b"\xde\xad")
                c.close()
                self.assertEqual(srv.finish(), 0)
                rec = srv.record()
                self.assertEqual(select(rec, block="C2"), [])
                self.assertEqual("".join(r["hex"] for r in select(rec, kind="raw")), "dead")
                self.assertIn("handshake version %d" % version,
                              [r["text"] for r in select(rec, kind="note")])

    def test_no_s2_withholds_s2(self):
        srv = self.server("--no-s2", "--max-connections", "1")
        c = self.client(srv, handshake=False)
        c.sock.sendall(b"\x03" + C1)
        self.assertEqual(len(c.recv_exact(1537)), 1537)
        c.sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            c.sock.recv(1)
        c.close()
        self.assertEqual(srv.finish(), 0)
        blocks = [r["block"] for r in select(srv.record(), kind="handshake", dir="out")]
        self.assertEqual(blocks, ["S0", "S1"])

    def test_c2_sent_before_s2_is_counted(self):
        srv = self.server("--s2-delay-ms", "300", "--max-connections", "1")
        c = self.client(srv, handshake=False)
        c.sock.sendall(b"\x03" + C1)
        s0s1 = c.recv_exact(1537)
        c.sock.sendall(s0s1[1:])  # a client that does not wait for S2
        self.assertEqual(c.recv_exact(1536), C1)
        c.close()
        srv.finish()
        rec = srv.record()
        self.assertEqual(select(rec, block="C2")[0]["bytes_before_s2"], 1536)
        order = [r["block"] for r in select(rec, kind="handshake")]
        self.assertEqual(order, ["C0", "C1", "S0", "S1", "S2", "C2"])

    def test_split_writes_deliver_the_same_blocks(self):
        srv = self.server("--handshake-writes", "split", "--max-connections", "1")
        c = self.client(srv, handshake=False)
        reply = c.handshake()
        self.assertEqual(reply[1537:], C1)
        c.close()
        srv.finish()
        self.assertTrue(select(srv.record(), block="C2")[0]["matches_s1"])


class CommandTest(ServerCase):
    def test_publish_sequence_answers_and_record(self):
        srv = self.server("--max-connections", "1", "--stream-id", "7")
        c = self.client(srv)
        # connect written out by hand: "connect", 1, {app: "live"}
        body = bytes.fromhex("020007636f6e6e656374" "003ff0000000000000"
                             "03" "0003617070" "0200046c697665" "000009")
        c.sock.sendall(bytes.fromhex("03000000") + len(body).to_bytes(3, "big") +
                       bytes.fromhex("1400000000") + body)
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values[1], 1.0)
        self.assertEqual(values[3]["code"], "NetConnection.Connect.Success")
        c.publish_sequence("cam")
        msg, values = self.expect_command(c, "_result")
        self.assertEqual(values[1:], [3.0, None, 7.0])
        self.assertEqual((msg.csid, msg.stream_id), (3, 0))
        c.command("publish", 4, None, "cam", "live", csid=4, stream_id=7)
        msg, values = self.expect_command(c, "onStatus")
        self.assertEqual((msg.csid, msg.stream_id), (5, 7))
        self.assertEqual(values[3]["code"], "NetStream.Publish.Start")
        c.send(4, 9, 7, b"\x17\x00\x00\x00\x00\x01\x64", timestamp=40)
        c.command("FCUnpublish", 5, None, "cam", stream_id=7)
        _, values = self.expect_command(c, "onStatus")
        self.assertEqual(values[3]["code"], "NetStream.Unpublish.Success")
        c.close()
        self.assertEqual(srv.finish(), 0)
        rec = srv.record()
        msgs = select(rec, kind="message", dir="in")
        self.assertEqual([m.get("name") for m in msgs],
                         ["connect", "releaseStream", "FCPublish", "createStream", "publish",
                          None, "FCUnpublish"])
        connect = msgs[0]
        self.assertEqual(connect["amf"], ["connect", 1.0, {"app": "live"}])
        self.assertEqual(connect["amf_meta"][2], {"marker": 3, "keys": ["app"]})
        self.assertEqual((connect["csid"], connect["fmt"], connect["type"]), (3, 0, 20))
        self.assertEqual(connect["body"], body.hex())
        self.assertEqual(msgs[4]["stream_id"], 7)
        video = msgs[5]
        self.assertEqual((video["type"], video["timestamp"], video["body"]),
                         (9, 40, "17000000000164"))
        self.assertTrue(select(rec, kind="connection", event="close")[0]["published"])

    def test_missing_create_stream_reply(self):
        srv = self.server("--create-stream-reply", "none")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.publish_sequence()
        # FCUnpublish is always answered; its answer arriving first shows createStream was not.
        c.command("FCUnpublish", 9, None, "x")
        self.expect_command(c, "onStatus")

    def test_stray_result_precedes_the_create_stream_answer(self):
        srv = self.server("--create-stream-reply", "stray")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.publish_sequence()
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values[1:], [1.0, None, 99.0])
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values[1:], [3.0, None, 1.0])

    def test_bad_name_answers_then_success_with_new_stream_ids(self):
        srv = self.server("--bad-name", "2", "--stream-begin")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        codes = []
        for round_ in range(3):
            c.command("createStream", 3, None)
            _, values = self.expect_command(c, "_result")
            sid = int(values[3])
            self.assertEqual(sid, round_ + 1)
            c.command("publish", 4, None, "x", "live", csid=4, stream_id=sid)
            begin = c.message()
            self.assertEqual((begin.type_id, begin.body), (4, struct.pack(">HI", 0, sid)))
            msg, values = self.expect_command(c, "onStatus")
            codes.append((values[3]["level"], values[3]["code"]))
        self.assertEqual(codes, [("error", "NetStream.Publish.BadName")] * 2 +
                         [("status", "NetStream.Publish.Start")])

    def test_connect_refusals_carry_the_texts_clients_match(self):
        cases = {"error_app": "Application folder", "reject": "AccessManager.Reject"}
        for mode, text in cases.items():
            with self.subTest(mode=mode):
                srv = self.server("--connect-reply", mode)
                c = self.client(srv)
                c.connect(app="nosuch")
                _, values = self.expect_command(c, "_error")
                self.assertEqual(values[1], 1.0)
                self.assertIsNone(values[2])
                self.assertIn(text, values[3]["description"])
                self.assertEqual(values[3]["level"], "error")

    def test_fc_answers_as_invoke_or_flex_message(self):
        srv = self.server("--fcpublish-reply", "flex", "--fcunpublish-reply", "invoke",
                          "--release-reply", "result")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.command("releaseStream", 1, None, "x")
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values, ["_result", 1.0, None])
        c.command("FCPublish", 2, None, "x")
        msg = c.message()
        self.assertEqual((msg.type_id, msg.body[0]), (17, 0))
        values, _, _ = rtmp_wire.decode_amf0(msg.body[1:])
        self.assertEqual(values[0], "onFCPublish")
        c.command("FCUnpublish", 5, None, "x")
        msg, values = self.expect_command(c, "onFCUnpublish")
        self.assertEqual(msg.type_id, 20)

    def test_drop_after_a_trigger_closes_the_connection(self):
        srv = self.server("--drop-after", "create_stream", "--max-connections", "1")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.publish_sequence()
        self.expect_command(c, "_result")
        with self.assertRaises(EOFError):
            c.message()
        self.assertEqual(srv.finish(), 0)
        close = select(srv.record(), kind="connection", event="close")[0]
        self.assertEqual(close["reason"], "scripted close")


class ControlTest(ServerCase):
    def test_chunk_size_window_and_peer_bandwidth_bytes(self):
        srv = self.server("--chunk-size", "4096", "--window-ack", "2500000",
                          "--peer-bandwidth", "5000000")
        c = self.client(srv)
        c.connect()
        expected = bytes.fromhex("02000000000004010000000000001000"
                                 "0200000000000405000000000026 25a0".replace(" ", "") +
                                 "020000000000050600000000004c4b4002")
        self.assertEqual(c.recv_exact(len(expected)), expected)
        c.reader.chunk_size = 4096
        msg, _ = self.expect_command(c, "_result")
        self.assertGreater(len(msg.body), 128)
        self.assertEqual(msg.chunk_fmts, [0])  # one chunk at 4096
        # The client announces 256 and sends a 300-byte command cut at 256.
        c.sock.sendall(bytes.fromhex("02000000000004010000000000000100"))
        c.send(3, 20, 0, amf0_all(["releaseStream", 1.0, None, "s" * 260]), chunk=256)
        c.command("FCUnpublish", 2, None, "x")
        self.expect_command(c, "onStatus")
        rec = srv.record()
        release = select(rec, name="releaseStream")[0]
        self.assertEqual(release["chunk_fmts"], [0, 3])
        self.assertEqual(release["amf"][3], "s" * 260)
        self.assertEqual(select(rec, kind="message", dir="in", type=1)[0]["value"], 256)

    def test_ping_request_after_publish_and_the_recorded_response(self):
        srv = self.server("--ping", "7")
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.command("createStream", 3, None)
        self.expect_command(c, "_result")
        c.command("publish", 4, None, "x", "live", csid=4, stream_id=1)
        self.expect_command(c, "onStatus")
        ping = bytes.fromhex("020000000000060400000000" "0006" "00000007")
        self.assertEqual(c.raw(len(ping)), ping)
        c.sock.sendall(bytes.fromhex("020000000000060400000000" "0007" "00000007"))
        c.command("FCUnpublish", 5, None, "x")
        self.expect_command(c, "onStatus")
        pong = select(srv.record(), kind="message", dir="in", type=4)[0]
        self.assertEqual((pong["event"], pong["value"]), (7, 7))

    def test_scenario_file_actions(self):
        scenario = {"stream_id": 3, "actions": [
            {"on": "publish", "send": "user_control", "event": 1, "value": 3},
            {"on": "publish", "send": "on_status", "code": "NetStream.Play.Stop"},
            {"on": "media:2", "send": "invoke", "name": "onBWDone", "args": [None, 8192]},
            {"on": "media:3", "send": "raw", "hex": "c3"},
            {"on": "media:3", "send": "close"}]}
        srv = self.server("--max-connections", "1", scenario=scenario)
        c = self.client(srv)
        c.connect()
        self.expect_command(c, "_result")
        c.command("createStream", 3, None)
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values[3], 3.0)
        c.command("publish", 4, None, "x", "live", csid=4, stream_id=3)
        self.expect_command(c, "onStatus")
        end = c.message()
        self.assertEqual((end.type_id, end.body), (4, bytes.fromhex("000100000003")))
        msg, values = self.expect_command(c, "onStatus")
        self.assertEqual((msg.stream_id, values[3]["code"]), (3, "NetStream.Play.Stop"))
        for ts in (0, 40):
            c.send(4, 8, 3, b"\xaf\x01\x21", timestamp=ts)
        _, values = self.expect_command(c, "onBWDone")
        self.assertEqual(values[2:], [None, 8192.0])
        c.send(4, 8, 3, b"\xaf\x01\x22", timestamp=80)
        self.assertEqual(c.raw(1), b"\xc3")
        with self.assertRaises(EOFError):
            c.message()
        self.assertEqual(srv.finish(), 0)

    def test_unknown_scenario_key_is_refused(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "s.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump({"chunk_sise": 4096}, f)
            run = subprocess.run([sys.executable, SCRIPT, "--scenario", path],
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 2)
        self.assertIn("chunk_sise", run.stderr)


ADOBE_CHALLENGE = ("[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=needauth&user=user"
                   "&salt=Zq3vS4lt&challenge=Q2hhbGxlbmdl&opaque=T3BhcXVlVmFs")


class AuthTest(ServerCase):
    def refused(self, srv, app):
        c = self.client(srv)
        c.connect(app=app)
        _, values = self.expect_command(c, "_error")
        with self.assertRaises(EOFError):
            c.message()
        return values[3]["description"]

    def test_adobe_exchange_with_the_products_response(self):
        srv = self.server("--auth", "adobe")
        self.assertEqual(self.refused(srv, "live"),
                         "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ")
        self.assertEqual(self.refused(srv, "live?authmod=adobe&user=user"), ADOBE_CHALLENGE)
        # response = Base64(MD5(Base64(MD5(user salt password)) challenge clientchallenge)),
        # worked out with openssl for these values.
        c = self.client(srv)
        c.connect(app="live?authmod=adobe&user=user&challenge=AAECAw=="
                      "&response=ic6IdFCnMiaYofUvaL4dEA==&opaque=T3BhcXVlVmFs")
        _, values = self.expect_command(c, "_result")
        self.assertEqual(values[3]["code"], "NetConnection.Connect.Success")
        auth = [(r["event"], r["detail"]) for r in select(srv.record(), kind="auth")]
        self.assertEqual(auth[-1], ("accept", "server-challenge"))

    def test_adobe_response_over_the_opaque_value_and_on_the_same_connection(self):
        srv = self.server("--auth", "adobe", "--keep-open-after-refusal")
        c = self.client(srv)
        c.connect(app="live?authmod=adobe&user=user")
        _, values = self.expect_command(c, "_error")
        self.assertEqual(values[3]["description"], ADOBE_CHALLENGE)
        c.connect(app="live?authmod=adobe&user=user&challenge=AAECAw=="
                      "&response=0ahQRH1PI9iz96Gti0MCoA==&opaque=T3BhcXVlVmFs")
        self.expect_command(c, "_result")
        auth = select(srv.record(), kind="auth")
        self.assertEqual((auth[-1]["event"], auth[-1]["detail"]), ("accept", "opaque"))

    def test_adobe_refusals(self):
        srv = self.server("--auth", "adobe")
        bad = self.refused(srv, "live?authmod=adobe&user=user&challenge=AAECAw=="
                                "&response=ic6IdFCnMiaYofUvaL4dEB==&opaque=T3BhcXVlVmFs")
        self.assertEqual(bad, "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=authfailed")
        nouser = self.refused(srv, "live?authmod=adobe&user=bob&challenge=x&response=y")
        self.assertTrue(nouser.endswith("?reason=nosuchuser"))
        other = self.refused(srv, "live?authmod=llnw&user=user")
        self.assertIn("need auth; authmod=adobe", other)

    def test_llnw_exchange_with_the_products_response(self):
        srv = self.server("--auth", "llnw")
        self.assertEqual(self.refused(srv, "live?authmod=adobe&user=user"),
                         "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : ")
        self.assertEqual(self.refused(srv, "live?authmod=llnw&user=user"),
                         "[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth"
                         "&user=user&nonce=4e6f6e6365303031")
        # ha1 = MD5(user:live:pass), ha2 = MD5(publish:/live), nc of seven characters;
        # worked out with md5sum.
        c = self.client(srv)
        c.connect(app="live?authmod=llnw&user=user&nonce=4e6f6e6365303031&nc=0000001"
                      "&cnonce=0123456789abcdef0123456789abcdef"
                      "&response=be144543b98ce7d83a270da2ce257328")
        self.expect_command(c, "_result")
        auth = select(srv.record(), kind="auth")
        self.assertEqual((auth[-1]["event"], auth[-1]["detail"]), ("accept", "app=live nc=0000001"))

    def test_llnw_wrong_nonce_is_refused(self):
        srv = self.server("--auth", "llnw")
        text = self.refused(srv, "live?authmod=llnw&user=user&nonce=00&nc=0000001&cnonce=1"
                                 "&response=be144543b98ce7d83a270da2ce257328")
        self.assertTrue(text.endswith("?reason=authfailed"))


class RobustnessTest(ServerCase):
    def assert_still_serving(self, c):
        c.connect()
        self.expect_command(c, "_result")

    def test_bad_amf_is_recorded_and_the_session_goes_on(self):
        srv = self.server()
        c = self.client(srv)
        c.send(3, 20, 0, bytes.fromhex("020010616263"))           # string longer than the body
        c.send(3, 20, 0, b"\x03" + b"\x00\x01a\x03" * 100)          # nesting far too deep
        c.send(3, 20, 0, bytes.fromhex("0200016129"))             # unknown marker 0x29
        c.send(3, 18, 0, bytes.fromhex("08ffffffff"))             # ECMA array count, no entries
        self.assert_still_serving(c)
        errors = [r["amf_error"] for r in select(srv.record(), kind="message", dir="in")
                  if "amf_error" in r]
        self.assertEqual(len(errors), 4, errors)
        self.assertIn("truncated", errors[0])
        self.assertIn("nesting", errors[1])
        self.assertIn("0x29", errors[2])

    def test_extended_timestamp_and_header_formats_reassemble(self):
        srv = self.server()
        c = self.client(srv)
        payload = bytes(range(256))
        wire = (bytes.fromhex("04ffffff000100080100000001000000") + payload[:128] +
                bytes.fromhex("c401000000") + payload[128:] +
                # format 1 (delta 40, 3 bytes), format 2 (delta 40), format 3 (same delta)
                bytes.fromhex("4400002800000308") + b"abc" +
                bytes.fromhex("84000028") + b"def" + bytes.fromhex("c4") + b"ghi" +
                # two-byte basic header: chunk stream 100
                bytes.fromhex("002400000000000309010000000102"))
        wire += b"\x03"
        c.sock.sendall(wire)
        self.assert_still_serving(c)
        media = select(srv.record(), kind="message", dir="in")
        first, second, third, fourth, fifth = media[:5]
        self.assertEqual((first["timestamp"], first["length"], first["body"]),
                         (0x1000000, 256, payload.hex()))
        self.assertTrue(first["extended"])
        self.assertTrue(first["ext_on_continuation"])
        self.assertEqual(first["chunk_fmts"], [0, 3])
        self.assertEqual(first["stream_id"], 1)
        self.assertEqual([m["timestamp"] for m in (second, third, fourth)],
                         [0x1000000 + 40, 0x1000000 + 80, 0x1000000 + 120])
        self.assertEqual([m["body"] for m in (second, third, fourth)],
                         [b"abc".hex(), b"def".hex(), b"ghi".hex()])
        self.assertEqual([m["fmt"] for m in (second, third, fourth)], [1, 2, 3])
        self.assertEqual((fifth["csid"], fifth["type"], fifth["body"]), (100, 9, "010203"))

    def test_random_bytes_never_crash_or_hang_the_server(self):
        rng = random.Random(20261206)
        for trial in range(5):
            with self.subTest(trial=trial):
                srv = self.server("--max-connections", "1")
                c = self.client(srv)
                try:
                    c.sock.sendall(bytes(rng.getrandbits(8) for _ in range(20000)))
                except OSError:
                    pass  # the server may have given up on the connection already
                c.close()
                self.assertEqual(srv.finish(), 0)
                rec = srv.record()
                self.assertEqual(rec[-1]["event"], "exit")
                self.assertEqual(rec[-1]["reason"], "connection limit reached")


if __name__ == "__main__":
    unittest.main()
