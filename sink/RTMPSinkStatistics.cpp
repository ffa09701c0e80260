// Status and statistics events for the host.
#include <exception>

#include "foundation/Log.h"
#include "sink/RTMPSink.h"

int32_t CRTMPSink::SendNotifyEvent(int32_t code, const void* param, const char* text) {
    if (!param) return -1;
    int32_t status = 0;
    if (code == EC_ZEPH_RTMP_WRITER_STATUS) {
        status = *static_cast<const int32_t*>(param);
        Log(LOG_TRACE, 2, "CRTMPSink::SendNotifyEvent: invoking notify event with %i", status);
    }
    // Held to the end: a status and the zeroed statistics that follow it reach the host as one
    // pair, never with another thread's status (Init's and the multiplex thread's) between them.
    platform::CAutoLock pair(m_SinkLock);
    int32_t result = 1;
    {
        if (!m_pObserver) {
            Log(LOG_TRACE, 4, "CRTMPSink::SendNotifyEvent: No event observer set");
        } else {
            try {
                result = m_pObserver->NotifyEvent(code, reinterpret_cast<intptr_t>(param),
                                                  reinterpret_cast<intptr_t>(text));
            } catch (...) {
                Log(LOG_ERROR, 0, "CRTMPSink::SendNotifyEvent: error/exception");
            }
            if (result < 0) {
                Log(LOG_ERROR, 1, "RTMPSink::SendNotifyEvent: Error: NotifyEvent failed with code: 0x%X",
                    static_cast<unsigned>(result));
                return result;
            }
        }
    }
    if (code == EC_ZEPH_RTMP_WRITER_STATUS) SendStatusEvent(status);
    return result;
}

void CRTMPSink::SendStatusEvent(int32_t status) {
    if (status == RTMP_STATUS_CONNECTED) {
        int32_t v, a;
        {
            platform::CAutoLock g(m_SinkLock);
            v = m_iVideoBitrate;
            a = m_iAudioBitrate;
        }
        Log(LOG_TRACE, 2, "RTMPSink::SendStatusEvent: connected, sending EC_ZEPH_RTMP_WRITER_STATS bitrate %d %d", v, a);
    } else {
        Log(LOG_TRACE, 2, "RTMPSink::SendStatusEvent: not connected, sending EC_ZEPH_RTMP_WRITER_STATS");
        {
            platform::CAutoLock g(m_SinkLock);
            const int32_t size = m_Stats.outputBufferSize;
            m_Stats = RTMPStatistics{};
            m_Stats.outputBufferSize = size;
        }
        SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATS, &m_Stats, m_sStatusText.c_str());
    }
    platform::CAutoLock g(m_SinkLock);
    if (m_pHandler) {
        try {
            m_pHandler(m_pHandlerContext1, m_pHandlerContext2, status);
        } catch (...) {
            Log(LOG_ERROR, 0, "CRTMPSink::SendStatusEvent: error/exception in status handler");
        }
    }
}

void CRTMPSink::SendStatistics(int64_t now) {
    const int fill = m_Client.GetUnsentBytes();
    const auto sent = static_cast<int64_t>(m_Client.GetTotalBytesSent());
    // The sniffer watches the socket's real pair; the server port of the settings stands in
    // only while the socket has no peer.
    const int peer = m_Client.GetPeerPort();
    const TCPSnifferStats sniff = m_Client.GetSnifferStats(m_iLocalPort.load(), peer > 0 ? peer : m_iServerPort.load());
    const uint64_t serverAck = m_Client.GetServerBytesRead();
    platform::CAutoLock g(m_SinkLock);
    m_Stats.outputBufferFillness = fill;
    Log(LOG_TRACE, 5,
        "SendStatistics m_iPreviousDataSent: size: packetsSent: packetsReceived: packetsAcknowledged: packetsRtt: "
        "LastTimeRtmpStatsSent:");
    Log(LOG_TRACE, 5, "SendStatistics  %lld, %lld, %lld, %lld, %lld, %lu ms, %lld",
        static_cast<long long>(m_iPreviousDataSent), static_cast<long long>(sent),
        static_cast<long long>(sniff.packetsSent), static_cast<long long>(sniff.packetsReceived),
        static_cast<long long>(sniff.segmentsAcknowledged), static_cast<unsigned long>(sniff.roundTripTimeMs),
        static_cast<long long>(m_iLastStatisticsTime));
    double dt = static_cast<double>(now - m_iLastStatisticsTime);
    int64_t outputBitrate = 0;
    if (dt > 0) {
        outputBitrate = static_cast<int64_t>(static_cast<double>(sent - m_iPreviousDataSent) * 8.0 * 1000.0 / dt);
    } else {
        Log(LOG_TRACE, 2, "SendStatistics Warning : divisor 0?");
        dt = 10000000.0;
    }
    if (outputBitrate == 0)
        Log(LOG_TRACE, 4, "SendStatistics Warning: output_bitrate = 0 ? size %lld - prev %lld, time: %lld %lld",
            static_cast<long long>(sent), static_cast<long long>(m_iPreviousDataSent), static_cast<long long>(now),
            static_cast<long long>(m_iLastStatisticsTime));
    RTMPStatistics::Set64(m_Stats.outputBitrateLow, m_Stats.outputBitrateHigh, outputBitrate);
    Log(LOG_TRACE, 5, "SendStatistics payloadSent: %lld, m_previousPayloadSent: %lld",
        static_cast<long long>(sniff.payloadAcknowledged), static_cast<long long>(m_uPrevPayloadAck));
    const double packet = static_cast<double>(m_iOutputPacketSize);
    int64_t ackBitrate = 0, payloadBitrate = 0;
    if (sniff.segmentsAcknowledged > m_uPrevAckPackets) {
        ackBitrate = static_cast<int64_t>(static_cast<double>(sniff.segmentsAcknowledged - m_uPrevAckPackets) *
                                          packet * 8.0 * 1000.0 / dt);
        payloadBitrate = static_cast<int64_t>(
            static_cast<double>(static_cast<int64_t>(sniff.payloadAcknowledged - m_uPrevPayloadAck)) * 8.0 * 1000.0 / dt);
    } else if (sniff.reserved > 0) {
        ackBitrate = static_cast<int64_t>(
            static_cast<double>(static_cast<int64_t>(sniff.reserved - m_uPrevPayloadSent)) * packet * 8.0 * 1000.0 / dt);
    }
    RTMPStatistics::Set64(m_Stats.ackBitrateLow, m_Stats.ackBitrateHigh, ackBitrate);
    RTMPStatistics::Set64(m_Stats.payloadBitrateLow, m_Stats.payloadBitrateHigh, payloadBitrate);
    m_Stats.roundTripTime = static_cast<int32_t>(sniff.roundTripTimeMs);
    m_iPreviousDataSent = sent;
    m_uPrevAckPackets = sniff.segmentsAcknowledged;
    m_uPrevPayloadAck = sniff.payloadAcknowledged;
    m_uPrevPayloadSent = sniff.reserved;
    if (serverAck > m_uPrevServerAck) {
        if (now > m_iPrevServerAckTime)
            m_iServerAckRate = static_cast<int64_t>((serverAck - m_uPrevServerAck) * 1000 /
                                                    static_cast<uint64_t>(now - m_iPrevServerAckTime));
        m_uPrevServerAck = serverAck;
        m_iPrevServerAckTime = now;
    }
    m_Stats.serverAckRate = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(m_iServerAckRate)));
    m_Stats.videoMessagesSent = static_cast<int32_t>(m_uVideoMessagesSent - m_uPrevVideoMessages);
    m_Stats.audioMessagesSent = static_cast<int32_t>(m_uAudioMessagesSent - m_uPrevAudioMessages);
    m_uPrevVideoMessages = m_uVideoMessagesSent;
    m_uPrevAudioMessages = m_uAudioMessagesSent;
    m_Stats.bufferedAudioPackets = m_iAudioQueue;
    m_Stats.bufferedVideoPackets = m_iVideoQueue;
    m_Stats.audioBitrate = m_iAudioBitrate;
    m_Stats.videoBitrate = m_iVideoBitrate;
    Log(LOG_TRACE, 4, "SendStatistics Sending notify event (stats), output_buffer_fillness=%i", m_Stats.outputBufferFillness);
    SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATS, &m_Stats, m_sStatusText.c_str());
}

HRESULT CRTMPSink::SetStatusNotifyHandler(void* context1, void* context2, RTMPStatusNotifyHandler handler) {
    if (!handler) {
        Log(LOG_ERROR, 1, "CRTMPSink::SetStatusNotifyHandler: Error invalid argument - Handler function NULL");
        return E_INVALIDARG;
    }
    platform::CAutoLock g(m_SinkLock);
    m_pHandlerContext1 = context1;
    m_pHandlerContext2 = context2;
    m_pHandler = handler;
    return S_OK;
}

void CRTMPSink::ClearStatusNotifyHandler() {
    platform::CAutoLock g(m_SinkLock);
    m_pHandlerContext1 = m_pHandlerContext2 = nullptr;
    m_pHandler = nullptr;
}

void CRTMPSink::SetNotifyObserver(NotifyEventObserver* observer) {
    platform::CAutoLock g(m_SinkLock);
    m_pObserver = observer;
}
