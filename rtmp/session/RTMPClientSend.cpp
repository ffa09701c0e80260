// The client's send entries: one message at a time through the send lock, the timecode that
// precedes video, and the sink's data, command and metadata messages.
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "net/TCPResult.h"
#include "platform/Clock.h"
#include "rtmp/Commands.h"
#include "rtmp/ControlMessages.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/PublishVerdicts.h"
#include "rtmp/session/RTMPClient.h"

uint32_t CRTMPClient::StreamIdOnWire() const { return rtmp::SwapStreamId(static_cast<uint32_t>(m_iStreamID.load())); }

int CRTMPClient::Send(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type, uint32_t streamIdSwapped,
                      bool block, bool forceFullHeader) {
    return SendMessage(msg, kind, chunkStreamId, type, streamIdSwapped, block, forceFullHeader, false);
}

int CRTMPClient::SendBufferedMessage(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type,
                                     uint32_t streamIdSwapped, bool forceFullHeader) {
    // Without a send buffer every message goes out whole and at once, so a header that depends on
    // the previous message is not worth the risk of a reordered write.
    // The tunnel collects messages in order under its own lock: the codec's header choice stands.
    if (!m_bSendBuffered.load())
        return Send(msg, kind, chunkStreamId, type, streamIdSwapped, true, m_bTunnel.load() ? forceFullHeader : true);
    return SendMessage(msg, kind, chunkStreamId, type, streamIdSwapped, false, forceFullHeader, true);
}

int CRTMPClient::SendMessage(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type,
                             uint32_t streamIdSwapped, bool block, bool forceFullHeader, bool buffered) {
    if (!msg || !msg->data || msg->size_actual < 0) return TCP_NO_DATA;
    platform::CAutoLock lock(m_MessageSendLock);
    if (m_bTunnel.load())
        return SendThroughTunnel(*msg, kind, chunkStreamId, type, streamIdSwapped, block, forceFullHeader, buffered);
    if (kind == SEND_RAW) {
        return buffered ? SendBuffered(msg->data, msg->size_actual) : Send(msg->data, msg->size_actual, block);
    }
    if (type == RTMP_PT_VIDEO) SendTimecodeBefore(*msg, block, buffered);
    BS::DataPtr chunks = RTMPDataChunk.Prepare(*msg, chunkStreamId, type, streamIdSwapped, forceFullHeader);
    if (!chunks) return TCP_ERROR;
    // Marked before the send: a server that refuses the message closes while it is still going
    // out, and the loss may be handled before the send returns.
    const bool suspect = type == RTMP_PT_VIDEO && msg->size_actual >= rtmp::kSuspectMessageBytes;
    if (suspect) {
        m_bSuspectKey.store(msg->frame_type == FRAME_I);
        m_uSuspectTick.store(platform::timeGetTime());
        m_iSuspectBytes.store(msg->size_actual);
    }
    const int r = buffered ? SendBuffered(chunks->data, chunks->size_actual)
                           : Send(chunks->data, chunks->size_actual, block);
    if (msg->pts != NO_TIME) m_iLastSentTime.store(msg->pts);
    if (suspect && r == TCP_TIMEOUT) m_iSuspectBytes.store(0);  // a stalled link, not a refusal
    return r;
}

BS::DataPtr CRTMPClient::PrepareTimecode(const BS::data_t& video) {
    if (m_iTimecodeMode == 0 || video.dts == NO_TIME) return nullptr;
    if (m_iLastOnFITime != NO_TIME && video.dts < m_iLastOnFITime + m_iTimecodeInterval) return nullptr;
    m_iLastOnFITime = video.dts;
    const int64_t us = m_iTimecodeBaseSeconds * 1000000 + m_iTimecodeBaseMicroseconds + video.dts * 1000;
    BS::DataPtr onfi = rtmp::BuildOnFI(us, video.dts);
    if (!onfi) return nullptr;
    return RTMPDataChunk.Prepare(*onfi, rtmp::CHUNK_STREAM_TIMECODE, RTMP_PT_NOTIFY, StreamIdOnWire(), true);
}

void CRTMPClient::SendTimecodeBefore(const BS::data_t& video, bool block, bool buffered) {
    BS::DataPtr chunks = PrepareTimecode(video);
    if (!chunks) return;
    if (buffered)
        SendBuffered(chunks->data, chunks->size_actual);
    else
        Send(chunks->data, chunks->size_actual, block);
}

int CRTMPClient::SendThroughTunnel(BS::data_t& msg, int kind, int32_t chunkStreamId, int32_t type,
                                   uint32_t streamIdSwapped, bool block, bool forceFullHeader, bool buffered) {
    if (kind == SEND_RAW) {
        if (buffered) return m_Tunnel.SendBuffered({msg.data, static_cast<size_t>(msg.size_actual)}, {});
        return m_Tunnel.SendRaw(msg.data, msg.size_actual, block);
    }
    BS::DataPtr timecode = type == RTMP_PT_VIDEO ? PrepareTimecode(msg) : nullptr;
    BS::DataPtr chunks = RTMPDataChunk.Prepare(msg, chunkStreamId, type, streamIdSwapped, forceFullHeader);
    if (!chunks) return TCP_ERROR;
    const std::span<const uint8_t> body(chunks->data, static_cast<size_t>(chunks->size_actual));
    std::span<const uint8_t> tc;
    if (timecode) tc = {timecode->data, static_cast<size_t>(timecode->size_actual)};
    const int r = buffered ? m_Tunnel.SendBuffered(body, tc) : m_Tunnel.SendMessage(body, tc, block);
    if (msg.pts != NO_TIME) m_iLastSentTime.store(msg.pts);
    return r;
}

void CRTMPClient::SetTimecode(int64_t baseSeconds, int64_t baseMicroseconds, int32_t intervalMs, int32_t mode) {
    platform::CAutoLock lock(m_MessageSendLock);
    m_iTimecodeMode = mode;
    m_iTimecodeBaseSeconds = baseSeconds;
    m_iTimecodeBaseMicroseconds = baseMicroseconds;
    if (intervalMs >= 1) m_iTimecodeInterval = intervalMs;
    LogTrace(3, "CRTMPClient::SetTimecode %lld %lld interval %d mode %d", static_cast<long long>(baseSeconds),
             static_cast<long long>(baseMicroseconds), m_iTimecodeInterval, mode);
}

int CRTMPClient::SendControl(BS::DataPtr body, int32_t type) {
    if (!body) return TCP_ERROR;
    return Send(body.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_CONTROL, type, 0, true, true);
}

void CRTMPClient::SetPeerBandwidth() {
    const uint32_t bw = m_uPeerBandwidth.load();
    LogTrace(3, "SetPeerBandwidth - sending RTMP_PT_CLIENT_BW with size %d", static_cast<int>(bw));
    SendControl(rtmp::BuildSetPeerBandwidth(bw), RTMP_PT_CLIENT_BW);
}

bool CRTMPClient::SendCommandData(const BS::data_t* record, int32_t chunkStreamId, int32_t type) {
    if (!record) {
        Log(LOG_ERROR, 0, "Error: SendCommandData failed - no data");
        return false;
    }
    if (!record->data) {
        Log(LOG_ERROR, 0, "Error: SendCommandData failed - no data ptr");
        return false;
    }
    if (record->size_actual <= 0) {
        Log(LOG_ERROR, 0, "Error: SendCommandData failed - no data size");
        return false;
    }
    LogTrace(3, "SendCommandData: channel: %d  type %d  time %lld", chunkStreamId, type,
             static_cast<long long>(record->dts));
    // Prepare may fill in a missing dts; the caller's record stays as it was. The copy shares the
    // payload and is never released.
    BS::data_t view = *record;
    const int r = SendBufferedMessage(&view, SEND_MESSAGE, chunkStreamId, type, StreamIdOnWire(), true);
    return r != TCP_ERROR && r != TCP_SHUTDOWN && r != TCP_TIMEOUT && r != TCP_NOT_SUPPORTED;
}

bool CRTMPClient::SendMetadata(const BS::format_t* video, const BS::format_t* audio, bool sendEmpty, bool mark) {
    const bool hasVideo = video && video->kind == BS::FORMAT_KIND_VIDEO;
    const bool hasAudio = audio && audio->kind == BS::FORMAT_KIND_AUDIO;
    BS::DataPtr body;
    if (hasVideo || hasAudio) {
        rtmp::MetadataParams m;
        if (hasVideo) {
            m.hasVideo = true;
            m.width = video->video.width;
            m.height = video->video.height;
            if (video->video.fps > 0)
                m.frameRate = video->video.fps;
            else if (video->video.fps_den > 0)
                m.frameRate = static_cast<double>(video->video.fps_num) / video->video.fps_den;
            m.avcProfile = video->video.profile;
            m.avcLevel = video->video.level;
            m.videoBitrate = video->video.bitrate != 0 ? video->video.bitrate : video->bitrate;
            m.videoRateOverride = m_iVideoRateOverride.load();
        }
        if (hasAudio) {
            m.hasAudio = true;
            m.sampleRate = audio->audio.sample_rate;
            m.channels = audio->audio.channels;
            m.audioBitrate = audio->audio.bitrate != 0 ? audio->audio.bitrate : audio->bitrate;
            m.audioRateOverride = m_iAudioRateOverride.load();
            m.audioObjectType = audio->audio.object_type;
        }
        body = rtmp::BuildSetDataFrame(m);
        if (body && mark) m_bMetadataSent.store(true);
    } else if (sendEmpty) {
        body = rtmp::BuildEmptySetDataFrame();
    }
    if (!body) return false;
    const int r = Send(body.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_NOTIFY, StreamIdOnWire(), true,
                       false);
    return r == TCP_DATA_PRESENT || r == TCP_OK;
}
