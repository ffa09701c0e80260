// The input side of the sink: tracks, parsing into access units, queues, bitrate measurement,
// back-pressure and the frame-dropping policy.
#include <algorithm>

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "parsers/H264ParserFactory.h"
#include "parsers/ParserAACRTMP.h"
#include "platform/Clock.h"
#include "sink/EndOfStreamText.h"
#include "sink/RTMPSink.h"
#include "sink/TimeMath.h"

using BS::data_t;
using BS::track_t;

namespace {
// Between two looks at the send buffer while the end of a stream leaves.
constexpr uint32_t kDrainStepMs = 10;
}  // namespace

bool CRTMPSink::IsInited() {
    if (m_hReconnecting.IsSet()) return true;
    platform::CAutoLock g(m_SinkLock);
    return m_bStreaming.load();
}

bool CRTMPSink::Lock() {
    m_SinkLock.Lock();
    return true;
}

bool CRTMPSink::Unlock() {
    m_SinkLock.Unlock();
    return true;
}

std::unique_ptr<BS::CBaseParser> CRTMPSink::CreateParser(int32_t type) {
    if (type == TRACK_TYPE_AUDIO) {
        auto p = std::make_unique<CParserAACRTMP>();
        if (!p->Init(kAudioParserBuffer, false)) return nullptr;
        return p;
    }
    if (type == TRACK_TYPE_VIDEO) {
        auto p = CreateH264Parser();
        if (!p || !p->Init(kVideoParserBuffer, m_iAllowBFrames ? 1 : 0, 1, 0)) return nullptr;
        p->SetPassthroughPadding(m_bPassthroughPadding);
        return p;
    }
    return nullptr;
}

bool CRTMPSink::AddTrack(const BS::format_t& format, int32_t type, int32_t userValue) {
    platform::CAutoLock g(m_SinkLock);
    auto* t = new (std::nothrow) track_t;
    if (!t) return false;
    t->index = static_cast<int32_t>(m_Tracks.size());
    t->type = type;
    t->format = format;
    t->user_value = userValue;
    t->owner = this;
    m_Tracks.push_back(t);
    t->parser = CreateParser(type);
    if (!t->parser) {
        Log(LOG_ERROR, 1, "CRTMPSink::AddTrack: no parser for track type %d", type);
        m_Tracks.pop_back();
        delete t;
        return false;
    }
    if (type == TRACK_TYPE_AUDIO) m_AudioFormat = format;
    else m_VideoFormat = format;
    t->parser->SetBitrate(format.bitrate);
    t->parser->SetSecondValue(format.fourth);
    Log(LOG_TRACE, 3, "CRTMPSink::AddTrack track %d type %s", t->index, t->Name());
    return true;
}

bool CRTMPSink::PutData(data_t* sample, int32_t track, bool owned) {
    // Whatever the outcome, an owned sample is the sink's to free.
    struct FreeOnExit {
        data_t* d;
        bool owned;
        ~FreeOnExit() {
            if (owned) data_t::Release(d);
        }
    } freeOnExit{sample, owned};

    if (!IsInited()) {
        if (sample)
            Log(LOG_TRACE, 3, "CRTMPSink::PutData REJECTED!!! (track %d, size %d, time %lld)", track,
                sample->size_actual, static_cast<long long>(sample->dts));
        else
            Log(LOG_TRACE, 3, "CRTMPSink::PutData REJECTED!!! (track %d", track);
        return false;
    }
    if (!sample) {
        Log(LOG_TRACE, 3, "CRTMPSink::PutData REJECTED!!! (track %d", track);
        return false;
    }
    const bool sync = sample->frame_type == FRAME_I;
    if (m_hReconnecting.IsSet() || m_bRestartRunning.load()) {
        // Whether the input marks sync points is learnt here too: the first connection of a
        // sink started without one comes after a time of discarded input only.
        if (sync) {
            platform::CAutoLock g(m_SinkLock);
            if (track >= 0 && static_cast<size_t>(track) < m_Tracks.size())
                m_Tracks[static_cast<size_t>(track)]->sync_marked = true;
        }
        Log(LOG_TRACE, 5,
            "CRTMPSink::PutData: rejected data because a reconnection is attempted or restartStream is running");
        return true;
    }
    bool wake = false;
    {
        platform::CAutoLock g(m_SinkLock);
        if (track < 0 || static_cast<size_t>(track) >= m_Tracks.size()) return false;
        track_t& t = *m_Tracks[static_cast<size_t>(track)];
        t.sync_marked = t.sync_marked || sync;
        if (t.key_gate) {
            if (!sync && t.sync_marked) {
                Log(LOG_TRACE, 5, "CRTMPSink::PutData: waiting for a key frame (track %d, time %lld)", track,
                    static_cast<long long>(sample->dts));
                return true;
            }
            // An input that never marks sync points cannot be gated; its segment starts wherever
            // the parser finds parameter sets, as before.
            t.key_gate = false;
            t.key_start = sync;
        }
        t.parser->PutChunk(sample);
        Log(LOG_TRACE, 6, "CRTMPSink::PutData (track %d, size %d, time %d)", track, sample->size_actual,
            static_cast<int>(sample->dts));
        // The multiplex thread only needs waking when a queue stops being empty: that alone can make
        // the tracks ready, or bring a unit due before the one being paced; units appended behind
        // others change neither.
        const bool wasEmpty = t.sample_list.empty();
        data_t* unit = nullptr;
        while (t.parser->GetChunk(&unit, 0)) {
            if (!unit) continue;
            if (unit->dts == 0) Log(LOG_TRACE, 5, "CRTMPSink::PutData dts is 0 !!!");
            t.total_bytes += static_cast<uint64_t>(std::max(unit->size_actual, 0));
            Log(LOG_TRACE, 6, "CRTMPSink::PutData out_data: (track %d, size %d, time %d)", track, unit->size_actual,
                static_cast<int>(unit->dts));
            t.sample_list.push_back(unit);
            if (unit->dts != NO_TIME) t.last_queued_dts = unit->dts;
            // NO_TIME units carry no position in time; they never start a rate interval.
            if (unit->dts != NO_TIME && unit->dts >= sink::AddSat(t.time_of_last_rate, 1000)) {
                const double bits = static_cast<double>(t.total_bytes - t.bytes_at_last_rate) * 8.0 * 1000.0;
                const double rate = bits / static_cast<double>(sink::SubSat(unit->dts, t.time_of_last_rate));
                // A figure beyond 64 bits has no meaning; it is capped rather than converted.
                t.bitrate = rate < 1.8e19 ? static_cast<uint64_t>(rate) : UINT64_MAX;
                const auto low = static_cast<int32_t>(static_cast<uint32_t>(t.bitrate & 0xFFFFFFFFu));
                if (t.type == TRACK_TYPE_VIDEO) m_iVideoBitrate = low;
                else m_iAudioBitrate = low;
                t.time_of_last_rate = unit->dts;
                t.bytes_at_last_rate = t.total_bytes;
            }
            unit = nullptr;
        }
        wake = wasEmpty && !t.sample_list.empty();
    }
    // Signalled after the sink lock is released: the multiplex thread takes that lock first
    // thing, and waking it while the lock is still held would only put it to sleep again.
    if (wake) m_evData.Set();
    return true;
}

bool CRTMPSink::SetEndOfStream(int32_t track) {
    platform::CAutoLock g(m_SinkLock);
    if (track >= 0 && static_cast<size_t>(track) < m_Tracks.size()) {
        track_t& t = *m_Tracks[static_cast<size_t>(track)];
        t.end_of_stream = true;
        // No input follows, so the units the parser holds for look-ahead are final. They join
        // the queue now: a track at end of stream with an empty queue stops holding the others
        // back, and units drained only by the closing flush would follow later units of the
        // other track and leave out of decoding order.
        DrainParserLocked(t, true);
    }
    m_evData.Set();
    return true;
}

void CRTMPSink::DrainParserLocked(track_t& t, bool endOfStream) {
    if (!t.parser) return;
    data_t* unit = nullptr;
    while (t.parser->GetChunk(&unit, 1)) {
        if (!unit) continue;
        // At the end of the input every picture still held has its references (they come
        // before it in decoding order) and is published, when the timestamp model could time it
        // after the one before (one that cannot order B pictures gives it the same time, and
        // the picture would then go out of decoding order). A flush of a stopped graph cuts the
        // stream anywhere: a B frame left there is not worth sending.
        const bool timed = unit->dts != NO_TIME && (t.last_queued_dts == NO_TIME || unit->dts > t.last_queued_dts);
        if (unit->frame_type == FRAME_B && !(endOfStream && timed)) {
            data_t::Release(unit);
        } else {
            t.sample_list.push_back(unit);
            if (unit->dts != NO_TIME) t.last_queued_dts = unit->dts;
        }
        unit = nullptr;
    }
}

bool CRTMPSink::SetTrackActive(uint32_t track, bool active) {
    if (m_hReconnecting.IsSet()) return false;
    bool changed = false;
    {
        platform::CAutoLock g(m_SinkLock);
        if (track >= m_Tracks.size()) return false;
        changed = m_Tracks[track]->active != active;
        m_Tracks[track]->active = active;
    }
    // Each input sample says its track is active: only a change can unblock the interleaver,
    // and waking it for nothing would cost a thread switch a sample.
    if (changed) m_evData.Set();
    return true;
}

uint32_t CRTMPSink::GetQueueSize(uint32_t track) {
    platform::CAutoLock g(m_SinkLock);
    if (track >= m_Tracks.size()) return 0;
    return static_cast<uint32_t>(m_Tracks[track]->sample_list.size());
}

bool CRTMPSink::GetStatistics(RTMPStatistics* out) {
    if (!out) return false;
    platform::CAutoLock g(m_SinkLock);
    m_Stats.bufferedAudioPackets = m_iAudioQueue;
    m_Stats.bufferedVideoPackets = m_iVideoQueue;
    m_Stats.audioBitrate = m_iAudioBitrate;
    m_Stats.videoBitrate = m_iVideoBitrate;
    *out = m_Stats;
    return true;
}

int32_t CRTMPSink::GetBufferMode() {
    platform::CAutoLock g(m_SinkLock);
    return m_iBufferMode;
}

void CRTMPSink::DropVideo(track_t& t, size_t q) {
    const bool pending = m_iBufferMode == 3 || m_iBufferMode == 4;
    size_t limit;
    if (pending) {
        m_iBufferMode = 3;
        limit = 0;
    } else if (q >= 401) {
        m_iBufferMode = 4;
        limit = 200;
    } else if (q >= 301) {
        m_iBufferMode = 3;
        limit = 100;
    } else if (q >= 201) {
        m_iBufferMode = 3;
        limit = 50;
    } else {
        m_iBufferMode = 2;
        limit = 25;
    }
    Log(LOG_TRACE, 2, "RTMPSink Video - Frame Drop: queued %d  drop %d  mode %d", static_cast<int>(q),
        static_cast<int>(limit), m_iBufferMode);
    size_t dropped = 0;
    for (auto it = t.sample_list.begin(); it != t.sample_list.end();) {
        data_t* d = *it;
        bool candidate = false;
        switch (d->frame_type) {
            case FRAME_I:
                // A key frame ends the pass once the pass is a leftover one or has done its share.
                if (pending || dropped >= limit) {
                    m_iBufferMode = BUFFER_DROP;
                    it = t.sample_list.end();
                    continue;
                }
                candidate = m_iBufferMode == 4;
                break;
            case FRAME_P:
                candidate = m_iBufferMode == 3 || m_iBufferMode == 4;
                break;
            case FRAME_B:
                // A B picture that others predict from (the middle one of a B-pyramid) goes only
                // with the pictures up to the next key frame, as a P picture does; the light pass
                // takes only those nothing refers to.
                candidate = m_iBufferMode == 2 ? dropped < limit && d->nal_ref_idc == 0 : true;
                break;
            default:
                candidate = false;
                break;
        }
        if (candidate && !d->config) {
            data_t::Release(d);
            it = t.sample_list.erase(it);
            ++dropped;
            ++m_uDroppedUnits;
        } else {
            ++it;
        }
    }
}

void CRTMPSink::DropAudio(track_t& t, size_t q) {
    const size_t limit = std::min<size_t>(q - 200, 50);
    Log(LOG_TRACE, 2, "RTMPSink Audio - Frame Drop: queued %d  drop %d  mode %d", static_cast<int>(q),
        static_cast<int>(limit), m_iBufferMode);
    size_t dropped = 0;
    for (auto it = t.sample_list.begin(); it != t.sample_list.end() && dropped < limit;) {
        if (!(*it)->config) {
            data_t::Release(*it);
            it = t.sample_list.erase(it);
            ++dropped;
            ++m_uDroppedUnits;
        } else {
            ++it;
        }
    }
}

bool CRTMPSink::WaitForTrack(uint32_t track, platform::CEvent* stopEvent) {
    if (m_hReconnecting.IsSet() || !IsInited()) return true;
    bool video = false;
    for (;;) {
        {
            platform::CAutoLock g(m_SinkLock);
            if (track >= m_Tracks.size()) return true;
            track_t& t = *m_Tracks[track];
            const size_t q = t.sample_list.size();
            Log(LOG_TRACE, 7, "CRTMPSink::WaitForTrack %d %d %d", static_cast<int>(track), static_cast<int>(q),
                m_iBufferMode);
            const bool pending = m_iBufferMode == 3 || m_iBufferMode == 4;
            video = t.type == TRACK_TYPE_VIDEO;
            const bool over = video ? (q > kVideoQueueLimit || pending) : q > kAudioQueueLimit;
            if (!over) return true;
            if (m_iBufferMode != BUFFER_WAIT) {
                if (video) DropVideo(t, q);
                else DropAudio(t, q);
                return true;
            }
        }
        // Wait mode: hold the producer, never with the lock, until the queue has drained. The
        // interleaver signals the moment the queue is back at its limit, so the producer wakes
        // once per unit sent; the bound only limits how late the stop event is noticed. It is
        // longer than two frames at 24 fps (the parser can hand over two units at once, and the
        // queue then needs two sends to be back at its limit) so that a producer held at the
        // paced rate does not also wake on a timer in between.
        if (!IsInited()) return true;
        if (stopEvent && stopEvent->IsSet()) return true;
        SpaceEvent(video).Wait(kSpaceWaitMs);
        if (stopEvent && stopEvent->IsSet()) return true;
    }
}

bool CRTMPSink::Flush(bool sendRemaining, bool discard) {
    size_t count = 0;
    {
        platform::CAutoLock g(m_SinkLock);
        m_bNoWait.store(true);
        for (track_t* t : m_Tracks) {
            DrainParserLocked(*t, false);
            count += t->sample_list.size();
        }
    }
    if (sendRemaining) {
        const uint32_t from = platform::timeGetTime();
        // Wakes a multiplex thread that is pacing; it sees the no-wait flag, sends on without
        // pacing and ends its pass. Interleave then runs here once that pass is over.
        m_evData.Set();
        Interleave();
        WaitForSendBuffer(from);
        count = 0;
    }
    if (discard) {
        ClearNonConfigData(NO_TIME);
        count = 0;
    }
    return count < 10;
}

void CRTMPSink::WaitForSendBuffer(uint32_t from) {
    // The end of a stream: what the pass just handed over (at least the pictures the parser kept
    // for reordering) is still in the send buffer, which closing the connection discards. The
    // host says how long the end may take, pass included; by default nothing is waited for. Less
    // than a packet waits there for more data, and the unpublish command takes it along.
    const int32_t drainMs = getRegistryKey(KEY_RTMPSINK, "DrainTimeout", 0);
    if (drainMs <= 0) return;
    const int32_t packet = m_Client.GetStoredParams().sendPacketSize;
    int fill = 0;
    while (IsClientConnected() && (fill = m_Client.GetUnsentBytes()) > packet) {
        if (platform::timeGetTime() - from >= static_cast<uint32_t>(drainMs)) {
            Log(LOG_ERROR, 1, "CRTMPSink::Flush: %d bytes not sent within %d ms", fill, drainMs);
            PostEvent("error", "%.*s%d bytes still in the send buffer after %d ms",
                      static_cast<int>(sink::kUnsentAtEndText.size()), sink::kUnsentAtEndText.data(), fill, drainMs);
            return;
        }
        platform::Sleep(kDrainStepMs);
    }
}

void CRTMPSink::ClearNonConfigData(int64_t t) {
    platform::CAutoLock g(m_SinkLock);
    for (track_t* pt : m_Tracks) {
        Log(LOG_TRACE, 4, "CRTMPSink::ClearNonConfigData track %d setting dts %lld", pt->index,
            static_cast<long long>(t));
        for (data_t* d : pt->sample_list) {
            if (d->dts >= t) break;
            d->dts = t;
            d->pts = t;
        }
        Log(LOG_TRACE, 4, "CRTMPSink::Removed %d frames for track %d", 0, pt->index);
    }
}

void CRTMPSink::DestroyTracks() {
    platform::CAutoLock g(m_SinkLock);
    while (!m_Tracks.empty()) {
        track_t* t = m_Tracks.front();
        if (t->parser) {
            t->parser->Free();
            t->parser.reset();
        }
        Log(LOG_TRACE, 4, "CRTMPSink::Close pt->sample_list.size =  %d", static_cast<int>(t->sample_list.size()));
        t->ClearSamples();
        Log(LOG_TRACE, 4, "CRTMPSink::Close after clear pt->sample_list.size =  %d",
            static_cast<int>(t->sample_list.size()));
        m_Tracks.pop_front();
        delete t;
    }
}

uint64_t CRTMPSink::DroppedUnits() {
    platform::CAutoLock g(m_SinkLock);
    return m_uDroppedUnits;
}
