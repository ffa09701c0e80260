#pragma once
// Bit-level access to H.264 NAL unit payloads: removal and insertion of emulation-prevention
// bytes, an Exp-Golomb reader over the raw byte sequence payload (RBSP) and the matching writer.
// Both are bounded: the reader never reads past its span (it latches an error and yields zeros),
// the writer never writes past its span (it latches an error and drops bits).
#include <cstddef>
#include <cstdint>
#include <span>

namespace h264 {

// Copies `in` to `out` without the 0x03 bytes that follow two zero bytes. Stops when `out` is
// full. Returns the number of bytes written.
size_t UnescapeRbsp(std::span<const uint8_t> in, std::span<uint8_t> out);

// Number of payload bits in an RBSP: everything before the stop bit (the last 1 bit). Trailing
// zero bytes (cabac_zero_words, padding) are not counted. 0 when there is no stop bit at all.
size_t RbspBitLength(std::span<const uint8_t> rbsp);

class CBitReader {
public:
    // Reads `bitLength` bits of `data` (clamped to the span).
    CBitReader(std::span<const uint8_t> data, size_t bitLength);
    explicit CBitReader(std::span<const uint8_t> data) : CBitReader(data, data.size() * 8) {}

    uint32_t u(unsigned n);  // n <= 32
    bool flag() { return u(1) != 0; }
    uint32_t ue();
    int32_t se();
    void skip(size_t n);

    size_t pos() const { return m_pos; }
    size_t bitsLeft() const { return m_pos < m_bits ? m_bits - m_pos : 0; }
    bool byteAligned() const { return (m_pos & 7) == 0; }
    // More RBSP data before the stop bit (ITU-T H.264 more_rbsp_data()).
    bool moreData() const { return m_pos < m_bits; }
    // Set once a read ran past the end or an Exp-Golomb code was longer than 32 bits.
    bool failed() const { return m_failed; }

private:
    std::span<const uint8_t> m_data;
    size_t m_bits;
    size_t m_pos = 0;
    bool m_failed = false;
};

class CBitWriter {
public:
    explicit CBitWriter(std::span<uint8_t> out) : m_out(out) {}

    void u(unsigned n, uint32_t value);  // n <= 32, most significant bit first
    void flag(bool b) { u(1, b ? 1u : 0u); }
    void ue(uint32_t value);
    void se(int32_t value);
    // Pads with `bit` up to the next byte boundary.
    void align(bool bit);
    // rbsp_trailing_bits(): a 1 bit, then zeros to the byte boundary.
    void trailing() {
        flag(true);
        align(false);
    }

    size_t bitPos() const { return m_pos; }
    size_t bytes() const { return (m_pos + 7) / 8; }
    bool byteAligned() const { return (m_pos & 7) == 0; }
    bool failed() const { return m_failed; }

private:
    std::span<uint8_t> m_out;
    size_t m_pos = 0;
    bool m_failed = false;
};

// Writes `rbsp` to `out` inserting 0x03 wherever two zero bytes would be followed by a byte
// <= 3. Returns the bytes written, or 0 when `out` is too small.
size_t EscapeRbsp(std::span<const uint8_t> rbsp, std::span<uint8_t> out);

}  // namespace h264
