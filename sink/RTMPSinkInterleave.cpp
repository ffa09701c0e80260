// The output side of the sink: the multiplex thread, interleaving by decoding time, re-basing,
// pacing against the sink clock, handing units to the client, and noticing a lost connection.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <deque>

#include "foundation/Log.h"
#include "platform/Clock.h"
#include "sink/RTMPSink.h"
#include "sink/TimeMath.h"

using BS::data_t;
using BS::track_t;

namespace {
// The multiplex thread waits on the data event; without data it still wakes this often for the
// statistics period and the reconnection schedule.
constexpr uint32_t kIdleWaitMs = 20;
// Longest single wait inside WaitTime, so Close and destruction are noticed promptly.
constexpr uint32_t kPaceSliceMs = 50;
// The pacing step: the clock is looked at in 5 ms steps from the moment a unit was sent, and a
// unit is released at the first step at or after its time. Units whose times fall within one
// step leave together on one wake-up instead of one each.
constexpr int64_t kPaceStepMs = 5;
// While video waits for its key frame after a reconnection, this much of the other track is
// kept: the key frame's decoding time lies before the sample that carried it (reordering) and
// the parser hands it over only some pictures later. Well below the audio queue's limit.
constexpr int64_t kKeyFrameLeadMs = 3000;
}

void CRTMPSink::MultiplexThreadProc(void* param, CWorkerThread* self) {
    auto* sink = static_cast<CRTMPSink*>(param);
    Log(LOG_TRACE, 3, "CRTMPSink::MultiplexThreadProc");
    while (self->IsRunning()) {
        if (!sink->IsInited()) {
            // Init signals the data event, so an idle sink sleeps here without polling fast.
            sink->m_evData.Wait(kIdleWaitMs);
            continue;
        }
        sink->Interleave();
        if (!self->IsRunning()) break;
        sink->m_evData.Wait(kIdleWaitMs);
    }
    Log(LOG_TRACE, 3, "CRTMPSink::MultiplexThreadProc: leaving");
}

void CRTMPSink::ConfigLookup(bool& stop) {
    platform::CAutoLock g(m_SinkLock);
    stop = false;
    if (m_Tracks.empty()) {
        stop = true;
        return;
    }
    track_t& first = *m_Tracks[0];
    while (!first.sample_list.empty()) {
        data_t* d = first.sample_list.front();
        if (!d->config) {
            Log(LOG_TRACE, 4, "CRTMPSink::Interleave: Config lookup - Dropping packet time: %lld  size: %d  track: %s",
                static_cast<long long>(d->dts), d->size_actual, first.Name());
            data_t::Release(d);
            first.sample_list.pop_front();
            continue;
        }
        m_bConfigLookup = false;
        if (first.key_start) {
            first.key_start = false;
            if (d->dts != NO_TIME) AlignToSegmentStart(d->dts);
        }
        if (TIME_SHIFT == NO_TIME) {
            TIME_SHIFT = d->dts;
            Log(LOG_TRACE, 2, "CRTMPSink::Interleave: Setting NEW TIME_SHIFT: %lld  track: %s",
                static_cast<long long>(TIME_SHIFT), first.Name());
            Log(LOG_TRACE, 4,
                "CRTMPSink::Interleave: Setting NEW TIME_SHIFT: samplelistsize: %d data->dts: %lld data->pts: %lld "
                "data->bts: %lld data->duration: %lld data->size_actual: %d data->size_max: %d",
                static_cast<int>(first.sample_list.size()), static_cast<long long>(d->dts),
                static_cast<long long>(d->pts), static_cast<long long>(d->bts), static_cast<long long>(d->duration),
                d->size_actual, d->size_max);
        }
        break;
    }
    if (m_bConfigLookup) {
        if (m_Tracks.size() > 1) {
            track_t& second = *m_Tracks[1];
            // Without a key frame to restart at, nothing of the other track but its newest
            // config unit is known to belong to the new segment.
            int64_t keepFrom = INT64_MAX;
            if (first.key_start && !second.sample_list.empty() && second.sample_list.back()->dts != NO_TIME)
                keepFrom = sink::SubSat(second.sample_list.back()->dts, kKeyFrameLeadMs);
            data_t* kept = nullptr;
            std::deque<data_t*> recent;
            for (data_t* d : second.sample_list) {
                if (d->config) {
                    data_t::Release(kept);
                    kept = d;
                } else if (d->dts != NO_TIME && d->dts >= keepFrom) {
                    recent.push_back(d);
                } else {
                    Log(LOG_TRACE, 4,
                        "CRTMPSink::Interleave: Config lookup2 - Dropping packet time: %lld  size: %d  track: %s",
                        static_cast<long long>(d->dts), d->size_actual, second.Name());
                    data_t::Release(d);
                }
            }
            if (kept) recent.push_front(kept);
            second.sample_list.swap(recent);
        }
        stop = true;
        return;
    }
    if (TIME_SHIFT == 0) platform::Sleep(0);
}

void CRTMPSink::AlignToSegmentStart(int64_t start) {
    // The units kept for the key frame that came before it belong to the previous segment; sent
    // now they would be a burst at the start. A config unit is needed and goes first, at the start.
    for (size_t i = 1; i < m_Tracks.size(); ++i) {
        track_t& t = *m_Tracks[i];
        for (auto it = t.sample_list.begin(); it != t.sample_list.end();) {
            data_t* d = *it;
            if (d->dts == NO_TIME || d->dts >= start) {
                ++it;
            } else if (d->config) {
                d->dts = d->pts = start;
                ++it;
            } else {
                Log(LOG_TRACE, 4, "CRTMPSink::Interleave: Config lookup - Dropping packet time: %lld  size: %d  track: %s",
                    static_cast<long long>(d->dts), d->size_actual, t.Name());
                data_t::Release(d);
                it = t.sample_list.erase(it);
            }
        }
    }
}

bool CRTMPSink::Interleave() {
    platform::CAutoLock pass(m_InterleaveLock);
    // The units released together go to the socket in one write: the client holds this
    // thread's appends until the pass waits (WaitTime) or ends.
    struct ReleaseSendsOnExit {
        CRTMPClient& client;
        ~ReleaseSendsOnExit() { client.ReleaseSends(); }
    } releaseSends{m_Client};
    CheckReconnection();
    if (m_hReconnecting.IsSet()) return false;
    if (m_bConfigLookup) {
        bool stop = false;
        ConfigLookup(stop);
        if (stop) return false;
    }
    for (;;) {
        data_t* unit = nullptr;
        track_t* chosen = nullptr;
        int32_t chosenIndex = -1;
        int32_t chosenType = 0;
        size_t left = 0;
        int64_t origDts = NO_TIME;
        int64_t firstTime = NO_TIME;
        int64_t timeShift = NO_TIME;
        int roomFor = -1;  // 1 video, 0 audio: a held producer may go on
        {
            platform::CAutoLock g(m_SinkLock);
            bool ready = !m_Tracks.empty();
            bool allDone = true;
            for (track_t* t : m_Tracks) {
                const auto q = static_cast<int32_t>(t->sample_list.size());
                if (t->type == TRACK_TYPE_VIDEO) m_iVideoQueue = q;
                else m_iAudioQueue = q;
                if (t->active && !t->end_of_stream && t->sample_list.empty()) ready = false;
                if (!(t->end_of_stream && t->sample_list.empty())) allDone = false;
            }
            if (allDone) ready = false;
            if (ready) {
                for (track_t* t : m_Tracks) {
                    if (!t->active || t->sample_list.empty()) continue;
                    // Strictly smaller: on equal dts the lower track number keeps the turn.
                    if (!chosen || t->sample_list.front()->dts < chosen->sample_list.front()->dts) chosen = t;
                }
            }
            if (chosen) {
                chosenIndex = chosen->index;
                chosenType = chosen->type;
                unit = chosen->sample_list.front();
                if (TIME_SHIFT == NO_TIME && unit->dts != NO_TIME) {
                    TIME_SHIFT = unit->dts;
                    Log(LOG_TRACE, 2, "CRTMPSink::Interleave Setting NEW TIME_SHIFT: %lld  track: %d",
                        static_cast<long long>(TIME_SHIFT), chosenIndex);
                }
                if (FIRST_TIME == NO_TIME) {
                    const int64_t now = m_Timer.GetTime();
                    if (!m_bAbsoluteTime || m_iRefUTCTimeInit == NO_TIME) {
                        FIRST_TIME = now;
                        Log(LOG_TRACE, 2, "CRTMPSink::Interleave Setting NEW FIRST_TIME: %lld track: %d",
                            static_cast<long long>(FIRST_TIME), chosenIndex);
                    } else {
                        FIRST_TIME = now - m_iRefUTCTimeInit;
                        Log(LOG_TRACE, 2,
                            "CRTMPSink::Interleave Setting NEW FIRST_TIME: %lld track: %d timeNow: %lld m_iRefUTCTimeInit: %lld",
                            static_cast<long long>(FIRST_TIME), chosenIndex, static_cast<long long>(now),
                            static_cast<long long>(m_iRefUTCTimeInit));
                        m_iRefUTCTimeInit = NO_TIME;
                    }
                }
                origDts = unit->dts;
                if (TIME_SHIFT != 0 && TIME_SHIFT != NO_TIME && !m_bAbsoluteTime) {
                    if (unit->dts != NO_TIME) unit->dts = sink::SubSat(unit->dts, TIME_SHIFT);
                    if (unit->pts != NO_TIME) unit->pts = sink::SubSat(unit->pts, TIME_SHIFT);
                }
                chosen->sample_list.pop_front();
                if (chosen->type == TRACK_TYPE_VIDEO) ++m_uVideoMessagesSent;
                else ++m_uAudioMessagesSent;
                left = chosen->sample_list.size();
                const bool video = chosen->type == TRACK_TYPE_VIDEO;
                if (left == (video ? kVideoQueueLimit : kAudioQueueLimit)) roomFor = video ? 1 : 0;
                firstTime = FIRST_TIME;
                timeShift = TIME_SHIFT;
            }
        }
        // After the lock is released: the producer woken here takes that lock first thing.
        if (roomFor >= 0) SpaceEvent(roomFor == 1).Set();
        const int32_t period = m_iNotifyStatisticsTime.load();
        if (period > 0) {
            const int64_t now = m_Timer.GetTime();
            int64_t last;
            {
                platform::CAutoLock g(m_SinkLock);
                last = m_iLastStatisticsTime;
            }
            if (now != NO_TIME && now >= last + period) {
                SendStatistics(now);
                platform::CAutoLock g(m_SinkLock);
                m_iLastStatisticsTime = now;
            }
        }
        if (!unit) return false;
        m_Client.HoldSends();
        SendSample(unit, chosenIndex, left, chosenType);
        if (!m_bNoWait.load()) {
            int64_t target = NO_TIME;
            if (firstTime != NO_TIME && timeShift != NO_TIME && origDts != NO_TIME) target = sink::AddSat(sink::SubSat(firstTime, timeShift), origDts);
            WaitTime(target, chosenIndex);
            Log(LOG_TIMING, 6, "CRTMPSink::Interleave: WaitTime: %lld  timeshift: %lld  track: %d",
                static_cast<long long>(target), static_cast<long long>(timeShift), chosenIndex);
        }
        if (!IsClientConnected() && !m_hReconnecting.IsSet() && m_bStreaming.load() && AttemptsLeft()) {
            m_hReconnecting.Set();
            Log(LOG_TRACE, 2, "CRTMPSink::Interleave Setting event m_hReconnecting (in while loop)");
        }
    }
}

void CRTMPSink::RefreshFormatsFromParsers() {
    platform::CAutoLock g(m_SinkLock);
    for (track_t* t : m_Tracks) {
        if (!t->parser) continue;
        BS::format_t f;
        t->parser->GetFormat(&f);
        if (t->type == TRACK_TYPE_VIDEO) {
            if (f.video.profile != 0 && f.video.level != 0) {
                m_VideoFormat.video.profile = f.video.profile;
                m_VideoFormat.video.level = f.video.level;
            }
        } else if (f.audio.object_type != 0) {
            m_AudioFormat.audio.object_type = f.audio.object_type;
        }
    }
}

void CRTMPSink::DeliverMetadata() {
    if (m_Client.IsMetadataSent()) return;
    RefreshFormatsFromParsers();
    BS::format_t video, audio;
    {
        platform::CAutoLock g(m_SinkLock);
        video = m_VideoFormat;
        audio = m_AudioFormat;
    }
    m_Client.SendMetadata(&video, &audio, false, true);
}

void CRTMPSink::DeliverMedia(data_t* unit, int32_t messageType) {
    m_Client.SendBufferedMessage(unit, CRTMPClient::SEND_MEDIA, 4, messageType,
                                 htonl(static_cast<uint32_t>(m_Client.m_iStreamID.load())), false);
}

void CRTMPSink::SendSample(data_t* unit, int32_t track, size_t unitsLeft, int32_t trackType) {
    if (!unit) return;
    BS::DataPtr owned(unit);
    if (unit->dts == NO_TIME && !unit->config) {
        Log(LOG_TRACE, 4, "CRTMPSink:: Skip the sample because it's obsolete real_time %lld, dts %lld",
            static_cast<long long>(m_Timer.GetTime()), static_cast<long long>(unit->dts));
        return;
    }
    const bool video = trackType == TRACK_TYPE_VIDEO;
    const int32_t type = video ? 9 : 8;
    if (IsClientConnected()) {
        DeliverMetadata();
        const int64_t now = m_Timer.GetTime();
        int64_t firstTime;
        {
            platform::CAutoLock g(m_SinkLock);
            firstTime = FIRST_TIME;
        }
        Log(LOG_TRACE, 6,
            "CRTMPSink::SendSample - size: %d  send dts: %lf  orig dts: %lld  firsttime: %lld  timer: %lf  track: %s",
            unit->size_actual,
            firstTime == NO_TIME || unit->dts == NO_TIME ? -1.0 : static_cast<double>(firstTime + unit->dts) / 1000.0,
            static_cast<long long>(unit->dts),
            static_cast<long long>(firstTime), static_cast<double>(now) / 1000.0, video ? "VIDEO" : "AUDIO");
        m_iLastSentDts.store(unit->dts);
        DeliverMedia(unit, type);
    }
    (void)track;
    (void)unitsLeft;
    const int64_t now = m_Timer.GetTime();
    if (now != NO_TIME && now >= 1000 && m_Client.GetSendTimeoutFlag()) m_iDisconnectDetected.store(1);
}

CRTMPSink::WaitResult CRTMPSink::WaitTime(int64_t target, int32_t track) {
    WaitResult r{false, false};
    int64_t release = target;  // the first pacing step at or after the target
    for (int iteration = 0;; ++iteration) {
        bool newer = false;
        {
            platform::CAutoLock g(m_SinkLock);
            if (track >= 0 && static_cast<size_t>(track) < m_Tracks.size() && TIME_SHIFT != NO_TIME &&
                FIRST_TIME != NO_TIME) {
                const track_t& t = *m_Tracks[static_cast<size_t>(track)];
                if (!t.sample_list.empty() && t.sample_list.front()->dts != NO_TIME &&
                    sink::AddSat(sink::SubSat(t.sample_list.front()->dts, TIME_SHIFT), FIRST_TIME) < target)
                    newer = true;
            }
        }
        const int64_t now = m_Timer.GetTime();
        if (iteration == 0) {
            Log(LOG_TIMING, 7, "WaitTime: Track %d \t\t Target time %lld \t\t Current time %lld,", track,
                static_cast<long long>(target), static_cast<long long>(now));
            if (target != NO_TIME && now != NO_TIME && target > now)
                release = now + (target - now + kPaceStepMs - 1) / kPaceStepMs * kPaceStepMs;
        }
        if (!m_Timer.IsRunning() || now == NO_TIME || target == NO_TIME || release <= now) {
            if (iteration == 0 && target != NO_TIME && now != NO_TIME && target <= now)
                Log(LOG_TIMING, 7, "WaitTime: warning: the input time is less than the current time!");
            r.brokeWait = true;
            break;
        }
        if (newer) {
            r.newDtsArrived = true;
            break;
        }
        // A flush has taken over: what is left goes out back to back, and the flushing thread
        // waits for this pass to finish.
        if (m_bNoWait.load()) {
            r.brokeWait = true;
            break;
        }
        // New units signal the data event, so waiting on it replaces the short polling steps:
        // the wait ends at the target or as soon as something was queued.
        m_Client.ReleaseSends();
        const auto remaining = static_cast<uint32_t>(std::min<int64_t>(release - now, kPaceSliceMs));
        m_evData.Wait(std::max<uint32_t>(remaining, 1));
        if (!m_bStreaming.load() && !m_hReconnecting.IsSet()) {
            r.brokeWait = true;
            break;
        }
    }
    Log(LOG_TIMING, 7, "WaitTime: break wait=%s, new_dts_arrived=%s", r.brokeWait ? "True" : "False",
        r.newDtsArrived ? "True" : "False");
    return r;
}
