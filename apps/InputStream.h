#pragma once
// One input of the host: a regular file, a FIFO or standard input ("-"), read in chunks as data
// comes. Opening never blocks on a FIFO without a writer, and every wait is cut into short
// polls so that a stop request is seen at once.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

class InputStream {
public:
    enum class Result { Data, End, Error, Stopped };

    InputStream() = default;
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // false with a one-line reason ("cannot open x: No such file or directory").
    bool Open(const std::string& path, std::string* error);
    // Reads what is there (up to `capacity` bytes), waiting for data while there is none.
    Result Read(uint8_t* buffer, size_t capacity, size_t* got, const std::atomic<bool>& stop, std::string* error);
    // A FIFO, pipe, socket or terminal: data comes as a producer writes it.
    bool IsLive() const { return m_live; }
    const std::string& Path() const { return m_path; }
    void Close();

private:
    int m_fd = -1;
    bool m_ownFd = false;
    bool m_live = false;
    std::string m_path;
};

}  // namespace app
