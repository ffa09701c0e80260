#pragma once
// The "error" text events by which the client tells its host that a server will not take the
// stream although the session itself stands. The host matches the events by these beginnings.
#include <cstdint>
#include <string_view>

namespace rtmp {

// Every publish round ended with NetStream.Publish.BadName: the server keeps the session but
// drops what is published on it.
constexpr std::string_view kPublishNotAcceptedText = "the server answered every publish with NetStream.Publish.BadName";
// The server closed the connection right after a large picture: most likely its message size
// limit (nginx-rtmp's max_message is 1 MB by default).
constexpr std::string_view kMessageLimitText = "the server closed the connection after a ";

// A picture at least this large that is followed by the loss of the connection within the
// window below is taken for one the server refused; smaller ones are left to chance.
constexpr int32_t kSuspectMessageBytes = 256 * 1024;
constexpr uint32_t kSuspectMessageWindowMs = 2000;

}  // namespace rtmp
