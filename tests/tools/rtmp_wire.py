"""RTMP wire helpers shared by the fake server and its tests: AMF0/AMF3 values and chunk streams.

Everything here is sans-I/O: bytes in, values or messages out, None for "need more bytes".
Readers check bounds before every read and cap nesting, so hostile input raises AmfError
(caught and recorded by the caller) instead of looping or exhausting memory.
"""

import struct

MAX_NESTING = 32
# A chunk stream message longer than this is refused: the client never sends one, and a
# corrupted length field must not make the server buffer gigabytes.
MAX_MESSAGE_LENGTH = 16 * 1024 * 1024


class AmfError(Exception):
    pass


class Undefined:
    """AMF 'undefined', kept apart from null so a record can tell the two markers apart."""

    def __eq__(self, other):
        return isinstance(other, Undefined)

    def __hash__(self):
        return 0


# ---------------------------------------------------------------- AMF0 writer

def amf0(value):
    """Encodes a Python value: float/int -> number, bool, str, None -> null, dict -> object,
    list -> strict array, ('ecma', dict) -> ECMA array."""
    if isinstance(value, bool):
        return b"\x01" + (b"\x01" if value else b"\x00")
    if isinstance(value, (int, float)):
        return b"\x00" + struct.pack(">d", float(value))
    if isinstance(value, str):
        raw = value.encode("utf-8")
        if len(raw) > 0xFFFF:
            return b"\x0c" + struct.pack(">I", len(raw)) + raw
        return b"\x02" + struct.pack(">H", len(raw)) + raw
    if value is None:
        return b"\x05"
    if isinstance(value, dict):
        return b"\x03" + _amf0_props(value) + b"\x00\x00\x09"
    if isinstance(value, tuple) and len(value) == 2 and value[0] == "ecma":
        return (b"\x08" + struct.pack(">I", len(value[1])) + _amf0_props(value[1]) +
                b"\x00\x00\x09")
    if isinstance(value, list):
        return b"\x0a" + struct.pack(">I", len(value)) + b"".join(amf0(v) for v in value)
    raise TypeError("no AMF0 form for %r" % (value,))


def _amf0_props(props):
    out = b""
    for key, val in props.items():
        raw = key.encode("utf-8")
        out += struct.pack(">H", len(raw)) + raw + amf0(val)
    return out


def amf0_all(values):
    return b"".join(amf0(v) for v in values)


# ---------------------------------------------------------------- AMF0 reader

class _Reader:
    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def need(self, n):
        if n > len(self.data) - self.pos:
            raise AmfError("truncated at offset %d (need %d of %d)" %
                           (self.pos, n, len(self.data) - self.pos))

    def take(self, n):
        self.need(n)
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def f64(self):
        return struct.unpack(">d", self.take(8))[0]


def _text(raw):
    return raw.decode("utf-8", errors="replace")


def decode_amf0(data):
    """Decodes a whole AMF0 body. Returns (values, meta, error): values in natural JSON form,
    meta one dict per top-level value (marker, and for objects/ECMA arrays the keys in wire
    order and the announced count), error the text of the first decoding problem or None."""
    reader = _Reader(bytes(data))
    values, meta = [], []
    try:
        while reader.pos < len(reader.data):
            info = {}
            values.append(_amf0_value(reader, 0, info))
            meta.append(info)
    except AmfError as err:
        return values, meta, str(err)
    return values, meta, None


def _amf0_value(reader, depth, info):
    if depth > MAX_NESTING:
        raise AmfError("nesting deeper than %d" % MAX_NESTING)
    marker = reader.u8()
    info["marker"] = marker
    if marker == 0x00:
        return reader.f64()
    if marker == 0x01:
        return reader.u8() != 0
    if marker == 0x02:
        return _text(reader.take(reader.u16()))
    if marker in (0x03, 0x08, 0x10):
        if marker == 0x08:
            info["count"] = reader.u32()
        if marker == 0x10:
            info["class"] = _text(reader.take(reader.u16()))
        obj, keys = {}, []
        while True:
            name_len = reader.u16()
            if name_len == 0:
                reader.need(1)
                if reader.data[reader.pos] == 0x09:
                    reader.pos += 1
                    break
            name = _text(reader.take(name_len))
            keys.append(name)
            obj[name] = _amf0_value(reader, depth + 1, {})
        info["keys"] = keys
        return obj
    if marker == 0x05:
        return None
    if marker == 0x06:
        return Undefined()
    if marker == 0x07:
        return {"reference": reader.u16()}
    if marker == 0x0A:
        count = reader.u32()
        if count > len(reader.data):
            raise AmfError("strict array count %d larger than the body" % count)
        return [_amf0_value(reader, depth + 1, {}) for _ in range(count)]
    if marker == 0x0B:
        millis = reader.f64()
        reader.take(2)
        return {"date": millis}
    if marker in (0x0C, 0x0F):
        return _text(reader.take(reader.u32()))
    if marker == 0x0D:
        return Undefined()
    if marker == 0x11:
        return Amf3Reader(reader).value(depth + 1)
    raise AmfError("unknown AMF0 marker 0x%02x at offset %d" % (marker, reader.pos - 1))


class Amf3Reader:
    """Reads AMF3 values that follow an AMF0 switch marker, with the three reference tables."""

    def __init__(self, reader):
        self.r = reader
        self.strings, self.objects, self.traits = [], [], []

    def u29(self):
        value = 0
        for i in range(4):
            byte = self.r.u8()
            if i == 3:
                return (value << 8) | byte
            value = (value << 7) | (byte & 0x7F)
            if not byte & 0x80:
                return value
        return value

    def string(self):
        ref = self.u29()
        if not ref & 1:
            idx = ref >> 1
            if idx >= len(self.strings):
                raise AmfError("AMF3 string reference %d out of range" % idx)
            return self.strings[idx]
        text = _text(self.r.take(ref >> 1))
        if text:
            self.strings.append(text)
        return text

    def value(self, depth):
        if depth > MAX_NESTING:
            raise AmfError("nesting deeper than %d" % MAX_NESTING)
        marker = self.r.u8()
        if marker == 0x00:
            return Undefined()
        if marker == 0x01:
            return None
        if marker in (0x02, 0x03):
            return marker == 0x03
        if marker == 0x04:
            raw = self.u29()
            return raw - (1 << 29) if raw & (1 << 28) else raw
        if marker == 0x05:
            return self.r.f64()
        if marker in (0x06, 0x07, 0x0B):
            return self.string()
        if marker == 0x08:
            ref = self.u29()
            return {"date": self.r.f64()} if ref & 1 else {"reference": ref >> 1}
        if marker == 0x0C:
            ref = self.u29()
            if not ref & 1:
                return {"reference": ref >> 1}
            return {"bytearray": self.r.take(ref >> 1).hex()}
        if marker == 0x09:
            ref = self.u29()
            if not ref & 1:
                return {"reference": ref >> 1}
            count = ref >> 1
            result = {}
            self.objects.append(result)
            while True:
                key = self.string()
                if not key:
                    break
                result[key] = self.value(depth + 1)
            if count > len(self.r.data):
                raise AmfError("AMF3 array count %d larger than the body" % count)
            dense = [self.value(depth + 1) for _ in range(count)]
            return dense if not result else {"assoc": result, "dense": dense}
        if marker == 0x0A:
            ref = self.u29()
            if not ref & 1:
                return {"reference": ref >> 1}
            if not ref & 2:
                idx = ref >> 2
                if idx >= len(self.traits):
                    raise AmfError("AMF3 traits reference %d out of range" % idx)
                dynamic, sealed = self.traits[idx]
            else:
                if ref & 4:
                    raise AmfError("externalizable AMF3 objects are not supported")
                dynamic = bool(ref & 8)
                self.string()  # class name
                count = ref >> 4
                if count > len(self.r.data):
                    raise AmfError("AMF3 sealed member count %d too large" % count)
                sealed = [self.string() for _ in range(count)]
                self.traits.append((dynamic, sealed))
            obj = {}
            self.objects.append(obj)
            for name in sealed:
                obj[name] = self.value(depth + 1)
            if dynamic:
                while True:
                    key = self.string()
                    if not key:
                        break
                    obj[key] = self.value(depth + 1)
            return obj
        raise AmfError("unknown AMF3 marker 0x%02x" % marker)


def to_json(value):
    """Turns decoded values into something json.dumps accepts (undefined, NaN, infinities)."""
    if isinstance(value, Undefined):
        return {"undefined": True}
    if isinstance(value, float) and (value != value or value in (float("inf"), float("-inf"))):
        return {"double": repr(value)}
    if isinstance(value, dict):
        return {k: to_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    return value


# ---------------------------------------------------------------- chunk stream

HEADER_SIZE = {0: 11, 1: 7, 2: 3, 3: 0}


class Message:
    def __init__(self, csid, fmt, timestamp, type_id, stream_id, body):
        self.csid = csid
        self.fmt = fmt              # format of the message's first chunk
        self.timestamp = timestamp  # absolute, reconstructed from deltas
        self.type_id = type_id
        self.stream_id = stream_id  # decoded little-endian, as RTMP defines it
        self.body = body
        self.header_ts = 0          # the raw timestamp or delta field of the first chunk
        self.extended = False       # whether the first chunk used the extended timestamp
        self.chunk_fmts = []        # format of every chunk, in order
        self.ext_on_continuation = None  # continuation chunks repeated the extended field


class _StreamState:
    def __init__(self):
        self.timestamp = 0
        self.delta = 0
        self.length = 0
        self.type_id = 0
        self.stream_id = 0
        self.extended = False
        self.ext_value = 0
        self.message = None
        self.remaining = 0


class ChunkReader:
    """Reassembles chunk stream messages. feed() appends bytes; next() returns one Message,
    or None when more bytes are needed."""

    def __init__(self):
        self.buf = bytearray()
        self.chunk_size = 128
        self.streams = {}

    def feed(self, data):
        self.buf += data

    def next(self):
        while True:
            result = self._one_chunk()
            if result is None:
                return None
            if isinstance(result, Message):
                return result

    def _one_chunk(self):
        buf, pos = self.buf, 0
        if len(buf) < 1:
            return None
        first = buf[0]
        fmt, csid = first >> 6, first & 0x3F
        pos = 1
        if csid == 0:
            if 1 > len(buf) - pos:
                return None
            csid = 64 + buf[pos]
            pos += 1
        elif csid == 1:
            if 2 > len(buf) - pos:
                return None
            csid = 64 + buf[pos] + (buf[pos + 1] << 8)
            pos += 2
        if HEADER_SIZE[fmt] > len(buf) - pos:
            return None
        st = self.streams.setdefault(csid, _StreamState())
        h = buf[pos:pos + HEADER_SIZE[fmt]]
        pos += HEADER_SIZE[fmt]
        ts_field = None
        length, type_id, stream_id = st.length, st.type_id, st.stream_id
        if fmt <= 2:
            ts_field = (h[0] << 16) | (h[1] << 8) | h[2]
        if fmt <= 1:
            length = (h[3] << 16) | (h[4] << 8) | h[5]
            type_id = h[6]
        if fmt == 0:
            stream_id = struct.unpack("<I", bytes(h[7:11]))[0]
        extended = st.extended if fmt == 3 else ts_field == 0xFFFFFF
        ext_value = None
        if extended:
            if 4 > len(buf) - pos:
                return None
            ext_value = struct.unpack(">I", bytes(buf[pos:pos + 4]))[0]
            pos += 4
        starting = fmt != 3 or st.message is None
        if fmt != 3 and st.message is not None:
            # A new header in the middle of a message abandons the partial one.
            st.message = None
        if length > MAX_MESSAGE_LENGTH:
            raise AmfError("message length %d on chunk stream %d is over the limit" %
                           (length, csid))
        remaining = length if starting else st.remaining
        payload = min(self.chunk_size, remaining)
        if payload > len(buf) - pos:
            return None
        # The whole chunk is present: commit the header state.
        if fmt <= 2:
            field = ext_value if ts_field == 0xFFFFFF else ts_field
            if fmt == 0:
                st.timestamp, st.delta = field, 0
            else:
                st.delta = field
            st.extended = ts_field == 0xFFFFFF
        st.length, st.type_id, st.stream_id = length, type_id, stream_id
        if starting:
            if fmt != 0:
                st.timestamp = (st.timestamp + st.delta) & 0xFFFFFFFF
            msg = Message(csid, fmt, st.timestamp, type_id, stream_id, bytearray())
            msg.header_ts = ts_field if ts_field is not None else st.delta
            msg.extended = st.extended
            st.message, st.remaining = msg, length
        msg = st.message
        msg.chunk_fmts.append(fmt)
        if fmt == 3 and not starting and extended:
            msg.ext_on_continuation = True
        msg.body += buf[pos:pos + payload]
        st.remaining -= payload
        del self.buf[:pos + payload]
        if st.remaining == 0:
            st.message = None
            msg.body = bytes(msg.body)
            return msg
        return True


def write_chunks(csid, timestamp, type_id, stream_id, body, chunk_size):
    """Writes one message with a format-0 header and format-3 continuations (the extended
    timestamp is repeated after each continuation header, as the client expects)."""
    ts = timestamp & 0xFFFFFFFF
    extended = ts >= 0xFFFFFF
    out = bytearray([csid & 0x3F])
    out += (0xFFFFFF if extended else ts).to_bytes(3, "big")
    out += len(body).to_bytes(3, "big") + bytes([type_id]) + struct.pack("<I", stream_id)
    ext = struct.pack(">I", ts) if extended else b""
    out += ext
    for offset in range(0, max(len(body), 1), chunk_size):
        if offset:
            out += bytes([0xC0 | (csid & 0x3F)]) + ext
        out += body[offset:offset + chunk_size]
    return bytes(out)
