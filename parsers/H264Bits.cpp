#include "parsers/H264Bits.h"

namespace h264 {

size_t UnescapeRbsp(std::span<const uint8_t> in, std::span<uint8_t> out) {
    size_t o = 0;
    int zeros = 0;
    for (size_t i = 0; i < in.size() && o < out.size(); ++i) {
        const uint8_t b = in[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        out[o++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return o;
}

size_t RbspBitLength(std::span<const uint8_t> rbsp) {
    size_t n = rbsp.size();
    while (n > 0 && rbsp[n - 1] == 0) --n;
    if (n == 0) return 0;
    const uint8_t last = rbsp[n - 1];
    unsigned trailing = 0;  // zero bits below the stop bit
    while (((last >> trailing) & 1u) == 0) ++trailing;
    return n * 8 - trailing - 1;
}

CBitReader::CBitReader(std::span<const uint8_t> data, size_t bitLength)
    : m_data(data), m_bits(bitLength < data.size() * 8 ? bitLength : data.size() * 8) {}

uint32_t CBitReader::u(unsigned n) {
    if (n == 0) return 0;
    if (n > bitsLeft()) {
        m_failed = true;
        m_pos = m_bits;
        return 0;
    }
    uint32_t v = 0;
    // Byte-wise where possible: header fields are short, but the slice copy reads 8 at a time.
    while (n > 0) {
        const size_t byte = m_pos >> 3;
        const unsigned bitInByte = m_pos & 7;
        const unsigned avail = 8 - bitInByte;
        const unsigned take = n < avail ? n : avail;
        const uint32_t bits = (m_data[byte] >> (avail - take)) & ((1u << take) - 1u);
        v = (take == 32 ? 0 : (v << take)) | bits;
        m_pos += take;
        n -= take;
    }
    return v;
}

uint32_t CBitReader::ue() {
    unsigned zeros = 0;
    while (!failed() && u(1) == 0) {
        if (++zeros > 31) {
            m_failed = true;
            return 0;
        }
    }
    if (failed()) return 0;
    if (zeros == 0) return 0;
    const uint64_t rest = u(zeros);
    return static_cast<uint32_t>((1ull << zeros) - 1 + rest);
}

int32_t CBitReader::se() {
    const uint32_t k = ue();
    // k = 1, 2, 3, 4 ... -> 1, -1, 2, -2 ...
    const int64_t mag = (static_cast<int64_t>(k) + 1) / 2;
    return static_cast<int32_t>((k & 1u) ? mag : -mag);
}

void CBitReader::skip(size_t n) {
    if (n > bitsLeft()) {
        m_failed = true;
        m_pos = m_bits;
        return;
    }
    m_pos += n;
}

void CBitWriter::u(unsigned n, uint32_t value) {
    if (n == 0) return;
    if (m_pos + n > m_out.size() * 8) {
        m_failed = true;
        return;
    }
    for (unsigned i = n; i-- > 0;) {
        const size_t byte = m_pos >> 3;
        const unsigned shift = 7 - (m_pos & 7);
        if ((m_pos & 7) == 0) m_out[byte] = 0;
        if ((value >> i) & 1u) m_out[byte] = static_cast<uint8_t>(m_out[byte] | (1u << shift));
        ++m_pos;
    }
}

void CBitWriter::ue(uint32_t value) {
    const uint64_t v = static_cast<uint64_t>(value) + 1;
    unsigned len = 0;
    while ((v >> (len + 1)) != 0) ++len;
    u(len, 0);
    // len + 1 bits of v; split so no single write exceeds 32 bits.
    if (len + 1 > 32) {
        u(1, 1);
        u(32, static_cast<uint32_t>(v));
    } else {
        u(len + 1, static_cast<uint32_t>(v));
    }
}

void CBitWriter::se(int32_t value) {
    const int64_t v = value;
    ue(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void CBitWriter::align(bool bit) {
    while (!byteAligned() && !m_failed) flag(bit);
}

size_t EscapeRbsp(std::span<const uint8_t> rbsp, std::span<uint8_t> out) {
    size_t o = 0;
    int zeros = 0;
    for (const uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            if (o >= out.size()) return 0;
            out[o++] = 0x03;
            zeros = 0;
        }
        if (o >= out.size()) return 0;
        out[o++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return o;
}

}  // namespace h264
