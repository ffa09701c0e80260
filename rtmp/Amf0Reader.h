#pragma once
// Cursor reader for the small part of AMF0 the client looks at in server messages. It never
// reads outside its span: a value that is not wholly there is treated like a value of another
// type (empty result, cursor unmoved), except strings, which are cut to what is there.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace rtmp {

class CAmf0Reader {
public:
    // Command names are cut to this many bytes.
    static constexpr size_t MAX_NAME = 255;

    enum class Marker { None, Null, Object };

    explicit CAmf0Reader(std::span<const uint8_t> body, size_t pos = 0)
        : m_body(body), m_pos(pos < body.size() ? pos : body.size()) {}

    size_t Position() const { return m_pos; }
    size_t Remaining() const { return m_body.size() - m_pos; }
    void Skip(size_t n) { m_pos += n > Remaining() ? Remaining() : n; }

    // A string value: at most MAX_NAME bytes are taken and the cursor moves past the marker, the
    // length and the bytes taken (a longer string leaves the cursor inside it). Another marker
    // gives "" and leaves the cursor.
    std::string ReadString();
    // A number value truncated toward zero (saturated; NaN reads as 0). Another marker gives 0
    // and leaves the cursor.
    int64_t ReadNumber();
    // Skips one null (0x05) or object (0x03) marker and tells which it was.
    Marker SkipNullOrObject();
    // An information-object value as text: a number as its decimal text, a string whole, a
    // boolean skipped with "". Another marker gives "" and leaves the cursor.
    std::string ReadValueAsText();
    // A property name (16-bit length and bytes, no marker), cut to what is there. With two or
    // more bytes left it always moves the cursor, so a loop over properties ends.
    std::string ReadPropertyName();
    // True at the end of a property list: a 0x09 byte, the bytes 00 00 09, or fewer than three
    // bytes left.
    bool AtPropertyListEnd() const;

private:
    bool Has(size_t need) const { return !(need > m_body.size() - m_pos); }
    uint16_t Peek16(size_t at) const;

    std::span<const uint8_t> m_body;
    size_t m_pos;
};

// The status text of a reply: the letters A-Z and a-z of the first 255 body bytes, in order, so
// that "NetStream.Play.Stop" is matched as "NetStreamPlayStop".
std::string StatusText(std::span<const uint8_t> body);

}  // namespace rtmp
