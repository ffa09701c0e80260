// CTCPClient's send path: the two Send entries, SendBuffered, the send thread with BufferedSend,
// and FlushSendBuffer, which keeps the message boundaries of the waiting bytes in mind.
#include <algorithm>
#include <cstring>
#include <thread>

#include "foundation/Log.h"
#include "net/TCPClient.h"
#include "platform/Clock.h"

namespace {

// How long a producer waits for the send thread before looking at the buffer again.
constexpr uint32_t kRoomWaitMs = 5;
// The idle send thread sleeps on ev_send_new_data, which an append that leaves more than one
// packet waiting, a send-all request and close signal; this bound is only a safety net.
constexpr uint32_t kSendIdleWaitMs = 1000;

}  // namespace

int CTCPClient::SendDirect(const uint8_t* data, int length) {
    const int rc = CTCPBase::Send(data, length);
    m_iLastSendResult.store(rc);
    return rc;
}

int CTCPClient::Send(const uint8_t* data, int length, bool block) {
    LogTrace(3, "CTCPClient::Send Enter size:%d block:%d", length, block ? 1 : 0);
    int path;
    if (bSendBuffered.load() == 0) {
        path = 1;
        SendDirect(data, length);
        if (length > 0) m_uTotalBytesSent.fetch_add(static_cast<uint64_t>(length));
    } else if (send_buffer_size.load() != 0) {
        path = 2;
        const int rc = SendBuffered(data, length);
        if (rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT) WaitUntilSent(block);
    } else {
        path = 3;
        if (!ev_send_thread_exit.IsSet()) SendDirect(data, length);
    }
    const int last = m_iLastSendResult.load();
    if (last == TCP_DATA_PRESENT) {
        LogTrace(3, "CTCPClient::Send (%d) OK, TCP_DATA_PRESENT", path);
    } else if (last != 0) {
        LogTrace(3, "CTCPClient::Send (%d) returned error %d", path, last);
    }
    return last;
}

void CTCPClient::WaitUntilSent(bool block) {
    ev_send_send_all_event.Set();
    WakeSendThread();
    LogTrace(5, "CTCPClient::Send ev_send_send_all_event was set");
    do {
        LogTrace(5, "CTCPClient::Send wait for ev_send_thread_exit");
        if (ev_send_data_sent.Wait(kRoomWaitMs) && !block) {
            LogTrace(5, "CTCPClient::Send ev_send_data_sent was signaled");
            break;
        }
        LogTrace(5, "CTCPClient::Send ev_send_data_sent timeout or block");
        // A send thread that ran into the send time-out sends nothing more; waiting for it to
        // empty the buffer would only end when the connection is closed.
        if (m_iSendTimeoutFlag.load() != 0) break;
    } while (send_buffer_fillness.load() != 0 && send_buffer_size.load() != 0);
}

int CTCPClient::SendBuffered(const uint8_t* data, int length) { return AppendMessage(data, length, true); }

int CTCPClient::AppendMessage(const uint8_t* data, int length, bool endsMessage) {
    LogTrace(7,
             "CTCPClient::SendBuffered: bSendBuffered: %d, send_buffer_size: %d, send_buffer_fillness: %d, size of "
             "data: %d, send_packet_size: %d",
             bSendBuffered.load(), send_buffer_size.load(), send_buffer_fillness.load(), length,
             send_packet_size.load());
    if (bSendBuffered.load() == 0) {
        const int rc = SendDirect(data, length);
        if (length > 0) m_uTotalBytesSent.fetch_add(static_cast<uint64_t>(length));
        return rc;
    }
    if (send_buffer_size.load() == 0) {
        LogTrace(5, "CTCPClient wait for ev_send_thread_exit");
        if (!ev_send_thread_exit.IsSet()) {
            LogTrace(5, "CTCPClient timeout for ev_send_thread_exit");
            return SendDirect(data, length);
        }
        return m_iLastSendResult.load();
    }
    if (length <= 0) return m_iLastSendResult.load();

    for (;;) {
        const int size = send_buffer_size.load();
        if (size == 0) return TCP_SHUTDOWN;
        if (send_buffer_fillness.load() + static_cast<int64_t>(length) > size) {
            if (send_packet_size.load() + static_cast<int64_t>(length) > size) {
                // Too large to ever wait for room: the front of it goes out in pieces that each
                // fill the free space and are sent before the next; the rest is appended below.
                LogTrace(7, "CTCPClient::SendBuffered (in (recursive) while loop)");
                const int piece = std::min(length, size - send_buffer_fillness.load());
                if (piece >= 1) {
                    AppendMessage(data, piece, false);
                    WaitUntilSent(true);
                    data += piece;
                    length -= piece;
                    continue;
                }
                // No room at all: the send thread is stuck or gone; it only frees room by sending.
                if (m_iSendTimeoutFlag.load() != 0) return TCP_TIMEOUT;
                WakeSendThread();
                ev_send_data_sent.Wait(kRoomWaitMs);
                continue;
            }
            // Room comes from the send thread; appends held by this thread have not woken it.
            WakeSendThread();
            ev_send_data_sent.Wait(kRoomWaitMs);
            for (;;) {
                if (m_iSendTimeoutFlag.load() != 0) return TCP_TIMEOUT;
                if (send_buffer_fillness.load() + static_cast<int64_t>(length) <= send_buffer_size.load()) break;
                if (send_buffer_size.load() == 0) return TCP_SHUTDOWN;
                ev_send_data_sent.Wait(kRoomWaitMs);
            }
        }

        LogTrace(7, "CTCPClient::SendBuffered Event Reset - wait...");
        ev_send_send_all_event.Reset();
        int newFill;
        {
            platform::CAutoLock b(m_SendBufferLock);
            LogTrace(7, "CTCPClient::SendBuffered Event ok");
            const int bufferSize = send_buffer_size.load();
            if (bufferSize == 0) {
                LogTrace(7, "CTCPClient::SendBuffered TCP_SHUTDOWN");
                return TCP_SHUTDOWN;
            }
            const int fill = send_buffer_fillness.load();
            // Checked again under the lock: another producer may have taken the room meanwhile.
            if (fill + static_cast<int64_t>(length) > bufferSize) continue;
            memcpy(send_buffer.get() + fill, data, static_cast<size_t>(length));
            newFill = fill + length;
            send_buffer_fillness.store(newFill);
            m_uAppended += static_cast<uint64_t>(length);
            if (endsMessage) m_MessageEnds.push_back(m_uAppended);
            LogTrace(7, "CTCPClient::SendBuffered send_buffer_fillness: %d ev_send_new_data signal", newFill);
        }
        // The send thread has nothing to do until more than one packet waits (a shorter tail
        // waits for a send-all request, which wakes it itself), so smaller appends do not wake
        // it: on a paced stream most appends are small audio messages. When the socket takes
        // the whole packets at once, the producer hands them over itself and the send thread
        // is not woken at all; it is there for what the socket cannot take yet.
        if (newFill > send_packet_size.load() && m_HoldingThread.load() != std::this_thread::get_id() &&
            !SendWaitingNow())
            ev_send_new_data.Set();
        return m_iLastSendResult.load();
    }
}

void CTCPClient::HoldSends() { m_HoldingThread.store(std::this_thread::get_id()); }

void CTCPClient::ReleaseSends() {
    if (m_HoldingThread.load() != std::this_thread::get_id()) return;
    m_HoldingThread.store(std::thread::id());
    if (send_buffer_fillness.load() > send_packet_size.load() && send_buffer_size.load() != 0 && !SendWaitingNow())
        ev_send_new_data.Set();
}

bool CTCPClient::IsDataPending() {
    if (send_buffer_size.load() == 0) return false;
    platform::CAutoLock g(m_BufferedSendLock);
    const int fill = send_buffer_fillness.load();
    if (ev_send_send_all_event.IsSet()) return fill > 0;
    return fill > send_packet_size.load();
}

void CTCPClient::SendThreadProc(CWorkerThread* self) {
    while (!ev_send_thread_exit.IsSet() && self->IsRunning()) {
        if (m_iSendTimeoutFlag.load() == 0 && IsDataPending()) {
            BufferedSend();
        } else {
            ev_send_new_data.Wait(kSendIdleWaitMs);
        }
    }
    LogTrace(5, "CTCPClient::send thread exit");
}

void CTCPClient::BufferedSend() {
    if (send_buffer_size.load() == 0) {
        platform::Sleep(1);
        return;
    }
    platform::CAutoLock g(m_BufferedSendLock);
    const int packet = send_packet_size.load();
    int remaining = send_buffer_fillness.load();
    const uint8_t* const start = send_buffer.get();
    const uint8_t* position = start;

    while (remaining > packet) {
        if (ev_flush_send_buffer.IsSet()) {
            LogTrace(7, "CTCPClient::BufferedSend leaving (ev_flush_send_buffer)");
            break;
        }
        const uint32_t begin = platform::timeGetTime();
        const int socketBuffer = GetSendBufferSize();
        int piece;
        if (socketBuffer > packet) {
            piece = std::min(remaining - remaining % packet, (socketBuffer / packet) * packet);
        } else if (socketBuffer > 1) {
            piece = socketBuffer - 1;
        } else {
            // The socket's buffer size is unknown (the read failed or gave 0): one packet.
            piece = packet;
        }
        LogTrace(5, "CTCPClient::BufferedSend 1: %d %d", remaining, piece);
        const int rc = CTCPBase::Send(position, piece);
        m_iLastSendResult.store(rc);
        LogTrace(5, "CTCPClient::BufferedSend result: %d", rc);
        if (rc == TCP_TIMEOUT) {
            LogTrace(7, "CTCPClient::BufferedSend Send() timeout");
            m_iSendTimeoutFlag.store(1);
            break;
        }
        const uint32_t now = platform::timeGetTime();
        const uint32_t elapsed = now >= begin ? now - begin : now - begin - 1;
        if (elapsed != 0) {
            const double bandwidth = static_cast<double>(piece) * 8.0 * 1000.0 / static_cast<double>(elapsed);
            estimated_output_bandwidth.store(bandwidth);
            LogTrace(7, "CTCPClient::BufferedSend estimated_output_bandwidth: %f", bandwidth);
        }
        position += piece;
        remaining -= piece;
        m_uTotalBytesSent.fetch_add(static_cast<uint64_t>(piece));
    }

    if (remaining > 0 && ev_send_send_all_event.IsSet() && !ev_flush_send_buffer.IsSet()) {
        LogTrace(5, "BufferedSend 2: %d %d", remaining, packet);
        m_iLastSendResult.store(CTCPBase::Send(position, remaining));
        position += remaining;
        m_uTotalBytesSent.fetch_add(static_cast<uint64_t>(remaining));
    }

    const int sent = static_cast<int>(position - start);
    if (sent > 0) {
        RemoveSent(sent);
        LogTrace(5, "CTCPClient::BufferedSend ev_send_data_sent signal");
        ev_send_data_sent.Set();
    }
}

void CTCPClient::ForgetMessageMarks() {
    m_MessageEnds.clear();
    m_uAppended = m_uRemoved = m_uFrontStart = 0;
}

void CTCPClient::RemoveSent(int sent) {
    platform::CAutoLock b(m_SendBufferLock);
    m_uRemoved += static_cast<uint64_t>(sent);
    while (!m_MessageEnds.empty() && m_MessageEnds.front() <= m_uRemoved) {
        m_uFrontStart = m_MessageEnds.front();
        m_MessageEnds.pop_front();
    }
    const int fill = send_buffer_fillness.load();
    if (fill > sent) {
        const int tail = fill - sent;
        memcpy(send_buffer_aux.get(), send_buffer.get() + sent, static_cast<size_t>(tail));
        send_buffer_fillness.store(tail);
        memcpy(send_buffer.get(), send_buffer_aux.get(), static_cast<size_t>(tail));
    } else {
        send_buffer_fillness.store(0);
    }
}

bool CTCPClient::SendWaitingNow() {
    if (m_iSendTimeoutFlag.load() != 0) return false;
    // A pass of the send thread under way keeps the bytes in order; it is left to that pass
    // (the send thread looks for more waiting data after each pass).
    if (!m_BufferedSendLock.TryLock()) return false;
    struct Unlock {
        platform::CReentrantLock& lock;
        ~Unlock() { lock.Unlock(); }
    } unlock{m_BufferedSendLock};
    // Lock order: buffered-send, send, then send-buffer (which keeps Close from releasing the
    // buffer under the send; the send does not wait, so appends and Close wait microseconds).
    platform::CAutoLock s(m_SendLock);
    platform::CAutoLock b(m_SendBufferLock);
    const int packet = send_packet_size.load();
    const int fill = send_buffer_fillness.load();
    if (send_buffer_size.load() == 0 || !send_buffer || packet <= 0 || fill <= packet) return true;
    // Whole packets only, like the send thread; the tail waits for more data or a send-all.
    const int whole = fill - fill % packet;
    const int sent = SendAvailable(send_buffer.get(), whole);
    if (sent > 0) {
        m_iLastSendResult.store(TCP_DATA_PRESENT);
        m_uTotalBytesSent.fetch_add(static_cast<uint64_t>(sent));
        RemoveSent(sent);
        LogTrace(5, "CTCPClient::SendBuffered sent %d of %d at once, ev_send_data_sent signal", sent, whole);
        ev_send_data_sent.Set();
    }
    return sent == whole;
}

void CTCPClient::FlushSendBuffer() {
    LogTrace(7, "CTCPClient::FlushSendBuffer start");
    ev_flush_send_buffer.Set();
    platform::CAutoLock g(m_BufferedSendLock);
    platform::CAutoLock b(m_SendBufferLock);
    // The server reads the bytes as one chunk stream: a message already partly on the wire is
    // finished, and so is one whose producer is still appending its pieces, or the stream would
    // be torn. Every message not yet started is dropped.
    const uint64_t end = m_uAppended;
    const uint64_t frontEnd = m_MessageEnds.empty() ? end : m_MessageEnds.front();
    const uint64_t openStart = m_MessageEnds.empty() ? m_uFrontStart : m_MessageEnds.back();
    const bool frontComplete = !m_MessageEnds.empty();
    const int keepFront = m_uFrontStart < m_uRemoved ? static_cast<int>(frontEnd - m_uRemoved) : 0;
    int keepOpen = 0;
    if (openStart < end && openStart >= m_uRemoved + static_cast<uint64_t>(keepFront)) {
        keepOpen = static_cast<int>(end - openStart);
        if (keepFront > 0 || openStart > m_uRemoved)
            memmove(send_buffer.get() + keepFront, send_buffer.get() + (openStart - m_uRemoved),
                    static_cast<size_t>(keepOpen));
    }
    m_MessageEnds.clear();
    if (keepFront > 0 && frontComplete) m_MessageEnds.push_back(m_uRemoved + static_cast<uint64_t>(keepFront));
    if (keepFront == 0) m_uFrontStart = m_uRemoved;
    m_uAppended = m_uRemoved + static_cast<uint64_t>(keepFront + keepOpen);
    send_buffer_fillness.store(keepFront + keepOpen);
    if (keepFront + keepOpen > 0)
        LogTrace(5, "CTCPClient::FlushSendBuffer keeps %d bytes of messages already started", keepFront + keepOpen);
    ev_flush_send_buffer.Reset();
    LogTrace(7, "CTCPClient::FlushSendBuffer end");
}
