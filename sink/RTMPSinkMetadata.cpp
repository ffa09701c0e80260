// Script data injected into the published stream: metadata, cue points, named key/value
// messages, invoke strings from JSON, the clear of stored metadata, and free-form commands.
#include <cstring>
#include <string>

#include "foundation/Log.h"
#include "foundation/TextConvert.h"
#include "rtmp/AmfWriter.h"
#include "rtmp/JsonAmf0.h"
#include "sink/CommandArguments.h"
#include "sink/RTMPSink.h"

using BS::data_t;

namespace {
constexpr std::string_view kSetDataFrame = "@setDataFrame";
constexpr int32_t kDataChunkStream = 4;
constexpr int32_t kCommandChunkStream = 3;
constexpr int32_t kDataMessage = 18;
constexpr int32_t kCommandMessage = 20;
constexpr size_t kObjectEndBytes = 3;  // 00 00 09

size_t TextLength(const KeyValuePair& p) {
    const auto* s = static_cast<const char*>(p.value);
    return p.type == KVP_TEXT ? strnlen(s, CRTMPSink::kScriptRecordSize) : std::strlen(s);
}

// Bytes a pair takes in the ECMA array.
size_t PairSize(const KeyValuePair& p) {
    const size_t key = std::strlen(p.key);
    switch (p.type) {
        case KVP_TEXT:
        case KVP_TEXT_WHOLE:
            return 2 + key + 3 + TextLength(p);
        case KVP_BOOL:
            return 2 + key + 2;
        default:
            return 2 + key + 9;
    }
}

bool WritePair(rtmp::CAmfWriter& w, const KeyValuePair& p) {
    const std::string_view key(p.key);
    switch (p.type) {
        case KVP_TEXT:
        case KVP_TEXT_WHOLE:
            return w.Property(key, std::string_view(static_cast<const char*>(p.value), TextLength(p)));
        case KVP_BOOL:
            return w.Property(key, *static_cast<const uint8_t*>(p.value) != 0);
        case KVP_INT32: {
            int32_t v;
            std::memcpy(&v, p.value, sizeof v);
            return w.Property(key, static_cast<double>(v));
        }
        default: {
            double v;
            std::memcpy(&v, p.value, sizeof v);
            return w.Property(key, v);
        }
    }
}

void PatchEcmaCount(data_t* record, size_t at, uint32_t count) {
    record->data[at] = static_cast<uint8_t>(count >> 24);
    record->data[at + 1] = static_cast<uint8_t>(count >> 16);
    record->data[at + 2] = static_cast<uint8_t>(count >> 8);
    record->data[at + 3] = static_cast<uint8_t>(count);
}
}  // namespace

int32_t CRTMPSink::ValidatePairs(const KeyValuePair* const* pairs, int32_t count) {
    if (!pairs) {
        Log(LOG_ERROR, 1, "CSink::KeyValuePairs: Error value NULL pointer");
        return -1;
    }
    if (count < 1) {
        Log(LOG_ERROR, 1, "CSink::KeyValuePairs: Error invalid number of cuepoints %d", count);
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        const KeyValuePair* p = pairs[i];
        // Types below 0x100 have no value encoding; they are refused with the rest.
        if (!p || !p->key || !p->value || p->type < KVP_TEXT || p->type > KVP_TEXT_WHOLE) {
            Log(LOG_ERROR, 1, "CSink::KeyValuePairs: Error invalid pair %d", i);
            return -1;
        }
    }
    return count;
}

bool CRTMPSink::DeliverScript(data_t* record, int32_t chunkStream, int32_t messageType) {
    return m_Client.SendCommandData(record, chunkStream, messageType);
}

bool CRTMPSink::SendScriptRecord(data_t* record, int32_t chunkStream, int32_t type) {
    const int64_t t = m_iLastSentDts.load();
    record->dts = record->pts = record->bts = t;
    return DeliverScript(record, chunkStream, type);
}

HRESULT CRTMPSink::SendKeyValuePairs(const char* name, const KeyValuePair* const* pairs, int32_t count, bool plain) {
    Log(LOG_TRACE, 3, "CSink::SendKeyValuePairs: %s %d", name ? name : "", count);
    if (!name || ValidatePairs(pairs, count) < 0) {
        Log(LOG_ERROR, 1, "CSink::SendCuepoint: Error invalid number of VALID metadata values %d", count);
        return E_INVALIDARG;
    }
    BS::DataPtr record(data_t::Create(kScriptRecordSize, false, 0, 0, 0));
    if (!record) return E_OUTOFMEMORY;
    rtmp::CAmfWriter w({record->data, static_cast<size_t>(record->size_max)});
    size_t budget = kScriptRecordSize;
    if (!plain) {
        w.String(kSetDataFrame);
        budget = kScriptRecordSize - 16;
    }
    const size_t nameLength = strnlen(name, kScriptRecordSize);
    // The name as AMF string and the array's head before the pairs, its end marker after them.
    const size_t frame = nameLength + 8 + kObjectEndBytes;
    if (frame > budget) return E_INVALIDARG;
    w.String(std::string_view(name, nameLength));
    const size_t countAt = w.Size() + 1;
    w.EcmaArrayStart(static_cast<uint32_t>(count));
    budget -= frame;
    int32_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        const size_t need = PairSize(*pairs[i]);
        if (need > budget) break;
        if (!WritePair(w, *pairs[i])) break;
        budget -= need;
        ++written;
    }
    w.ObjectEnd();
    if (w.Failed()) return E_FAIL;
    if (written < count) {
        if (written == 0) return E_FAIL;
        Log(LOG_ERROR, 1, "CSink::SendKeyValuePairs only %i value pairs out of %i could be send -", written, count);
        // The array announces what it really holds.
        PatchEcmaCount(record.get(), countAt, static_cast<uint32_t>(written));
    }
    record->size_actual = static_cast<int32_t>(w.Size());
    return SendScriptRecord(record.get(), kDataChunkStream, kDataMessage) ? S_OK : E_FAIL;
}

HRESULT CRTMPSink::SendCuepoint(const KeyValuePair* const* pairs, int32_t count) {
    return SendKeyValuePairs("onCuePoint", pairs, count, true);
}

HRESULT CRTMPSink::SendNamedPairs(const char* name, const KeyValuePair* const* pairs, int32_t count, bool plain) {
    if (!name) return E_INVALIDARG;
    const std::string copy(name, strnlen(name, kScriptRecordSize));
    return SendKeyValuePairs(copy.c_str(), pairs, count, plain);
}

HRESULT CRTMPSink::SendMetadata(bool plain, const KeyValuePair* const* pairs, int32_t count) {
    if (ValidatePairs(pairs, count) < 0) {
        Log(LOG_ERROR, 1, "CSink::SendMetadata: Error invalid number of VALID metadata values %d", count);
        return E_INVALIDARG;
    }
    if (IsInited()) return SendKeyValuePairs("onMetaData", pairs, count, plain);
    // Not connected yet: the data rates go into the metadata the client sends after connecting.
    platform::CAutoLock g(m_SinkLock);
    for (int32_t i = 0; i < count; ++i) {
        const KeyValuePair& p = *pairs[i];
        if (p.type != KVP_INT32) continue;
        int32_t v;
        std::memcpy(&v, p.value, sizeof v);
        if (std::strcmp(p.key, "videodatarate") == 0) m_iVideoRateOverride = v;
        else if (std::strcmp(p.key, "audiodatarate") == 0) m_iAudioRateOverride = v;
    }
    m_Client.SetDataRateOverrides(m_iVideoRateOverride, m_iAudioRateOverride);
    return S_OK;
}

HRESULT CRTMPSink::ClearMetadata() {
    BS::DataPtr record(data_t::Create(kScriptRecordSize, false, 0, 0, 0));
    if (!record) return E_OUTOFMEMORY;
    rtmp::CAmfWriter w({record->data, static_cast<size_t>(record->size_max)});
    w.String("@clearDataFrame");
    record->size_actual = static_cast<int32_t>(w.Size());
    return SendScriptRecord(record.get(), kDataChunkStream, kDataMessage) ? S_OK : E_FAIL;
}

HRESULT CRTMPSink::SendInvokeString(const wchar_t* name, const wchar_t* json, const wchar_t* third, bool plain) {
    const std::string n = WideToUtf8(name ? name : L"");
    const std::string j = WideToUtf8(json ? json : L"");
    const std::string t = WideToUtf8(third ? third : L"");
    Log(LOG_TRACE, 3, "CRTMPSink::SendInvokeString: %s %s %s %d %d", n.c_str(), j.c_str(), t.c_str(), plain ? 1 : 0,
        static_cast<int>(j.size()));
    Json::Value root;
    if (!rtmp::ParseJson(j, root)) {
        Log(LOG_ERROR, 1, "CRTMPSink::SendInvokeString: Error - Json parser failed %s %s %s %d", n.c_str(), j.c_str(),
            t.c_str(), plain ? 1 : 0);
        return E_INVALIDARG;
    }
    if (n.empty() || (plain ? 0u : 16u) + 11u + n.size() > static_cast<size_t>(kInvokeRecordSize)) {
        Log(LOG_ERROR, 1, "CRTMPSink::SendInvokeString: Error - Invalid invoke name %s %s %s %d", n.c_str(), j.c_str(),
            t.c_str(), plain ? 1 : 0);
        return E_INVALIDARG;
    }
    BS::DataPtr record(data_t::Create(kInvokeRecordSize, false, 0, 0, 0));
    if (!record) {
        Log(LOG_ERROR, 0, "CRTMPSink::SendInvokeString: Error - Memory allocation failure %s %s %s %d", n.c_str(),
            j.c_str(), t.c_str(), plain ? 1 : 0);
        return E_OUTOFMEMORY;
    }
    rtmp::CAmfWriter w({record->data, static_cast<size_t>(record->size_max)});
    if (!plain) w.String(kSetDataFrame);
    w.String(n);
    const uint32_t members = root.isObject() ? root.size() : 0;
    w.EcmaArrayStart(members);
    if (root.isObject() && w.Room() > rtmp::amf0::END_SIZE)
        rtmp::WriteJsonMembers(w, root, w.Room() - rtmp::amf0::END_SIZE, 0);
    w.ObjectEnd();
    if (w.Failed()) return E_FAIL;
    record->size_actual = static_cast<int32_t>(w.Size());
    return SendScriptRecord(record.get(), kDataChunkStream, kDataMessage) ? S_OK : E_FAIL;
}

HRESULT CRTMPSink::SendRTMPCommand(const char* command, const VARIANT* arguments) {
    if (!command) return E_FAIL;
    BS::DataPtr record(data_t::Create(kScriptRecordSize, false, 0, 0, 0));
    if (!record) return E_OUTOFMEMORY;
    rtmp::CAmfWriter w({record->data, static_cast<size_t>(record->size_max)});
    const std::string name(command, strnlen(command, kScriptRecordSize));
    if (!w.String(name) || !w.Number(0) || !w.Null()) return E_FAIL;
    if (arguments && !sink::WriteCommandArguments(w, *arguments)) return E_FAIL;
    record->size_actual = static_cast<int32_t>(w.Size());
    return SendScriptRecord(record.get(), kCommandChunkStream, kCommandMessage) ? S_OK : E_FAIL;
}
