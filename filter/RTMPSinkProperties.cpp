#include "filter/RTMPSinkProperties.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <new>
#include <system_error>
#include <tuple>
#include <vector>

#include "filter/CodecApiKeys.h"
#include "foundation/Log.h"
#include "platform/ThreadName.h"
#include "platform/com/TaskMem.h"

namespace {

// Control identifiers of dialog 101.
constexpr int IDD_RTMPSINK_PROPERTIES = 101;
constexpr int IDC_URL = 1001;
constexpr int IDC_OUTPUT_BUFFER_SIZE = 1002;
constexpr int IDC_LIVE_MODE = 1003;
constexpr int IDC_ALLOW_B_FRAMES = 1004;
constexpr int IDC_STAT_OUTPUT_BUFFER_SIZE = 1005;
constexpr int IDC_STAT_OUTPUT_BUFFER_FILLNESS = 1006;
constexpr int IDC_STAT_OUTPUT_BITRATE = 1007;
constexpr int IDC_STAT_BUFFERED_VIDEO = 1008;
constexpr int IDC_STAT_BUFFERED_AUDIO = 1009;
constexpr int IDC_STAT_AUDIO_BITRATE = 1010;
constexpr int IDC_STAT_VIDEO_BITRATE = 1011;
constexpr int IDC_OUTPUT_PACKET_SIZE = 1013;
constexpr int IDC_WRITE_TIMECODE = 1014;
constexpr int IDC_FIRST_TIMECODE = 1015;
constexpr int IDC_EMBED_SYSTEM_TIME = 1016;
constexpr int IDC_TCP_NODELAY = 1017;
constexpr int IDC_SOCKET_BUFFER_SIZE = 1018;
constexpr int IDC_USE_AUTHENTICATION = 1019;
constexpr int IDC_USERNAME = 1020;
constexpr int IDC_PASSWORD = 1021;
constexpr int IDC_RECONNECT_ATTEMPTS = 1022;
constexpr int IDC_RECONNECT_INTERVAL = 1023;
constexpr int IDC_CONNECT = 1024;
constexpr int IDC_DISCONNECT = 1025;
constexpr int IDC_STATUS = 1026;
constexpr int IDC_SEND_TIMEOUT = 1027;
constexpr int IDC_RECEIVE_TIMEOUT = 1028;
constexpr int IDC_PASSTHROUGH_PADDING = 1029;

constexpr const wchar_t* kBytes = L"bytes";
constexpr const wchar_t* kTimeout = L"Timeout";
constexpr const wchar_t* kReconnect = L"Reconnect:";
constexpr const wchar_t* kStatistics = L"Statistics:";
using K = ControlKind;

const DialogItem kItems[] = {
    {IDC_URL, K::Edit, L"RTMP URL:", nullptr, nullptr},
    {IDC_CONNECT, K::Button, L"Connect", nullptr, nullptr},
    {IDC_DISCONNECT, K::Button, L"Disconnect", nullptr, nullptr},
    {IDC_STATUS, K::Text, L"Status:", nullptr, nullptr},
    {IDC_OUTPUT_BUFFER_SIZE, K::Edit, L"Output Buffer Size:", kBytes, nullptr},
    {IDC_OUTPUT_PACKET_SIZE, K::Edit, L"Output Packet Size:", kBytes, nullptr},
    {IDC_LIVE_MODE, K::CheckBox, L"Live Mode", nullptr, nullptr},
    {IDC_ALLOW_B_FRAMES, K::CheckBox, L"Allow B Frames", nullptr, nullptr},
    {IDC_WRITE_TIMECODE, K::CheckBox, L"Write Timecode", nullptr, nullptr},
    {IDC_TCP_NODELAY, K::CheckBox, L"TCP No Delay", nullptr, nullptr},
    {IDC_PASSTHROUGH_PADDING, K::CheckBox, L"Passthrough Padding", nullptr, nullptr},
    {IDC_FIRST_TIMECODE, K::Edit, L"First Timecode:", nullptr, nullptr},
    {IDC_EMBED_SYSTEM_TIME, K::CheckBox, L"Embed System Time as Timecode", nullptr, nullptr},
    {IDC_SOCKET_BUFFER_SIZE, K::Edit, L"Socket Buffer Size:", kBytes, nullptr},
    {IDC_SEND_TIMEOUT, K::Edit, L"Send:", nullptr, kTimeout},
    {IDC_RECEIVE_TIMEOUT, K::Edit, L"Receive:", nullptr, kTimeout},
    {IDC_USE_AUTHENTICATION, K::CheckBox, L"Use Authentication", nullptr, nullptr},
    {IDC_USERNAME, K::Edit, L"Username:", nullptr, nullptr},
    {IDC_PASSWORD, K::Edit, L"Password:", nullptr, nullptr, true},
    {IDC_RECONNECT_ATTEMPTS, K::Edit, L"Attempts:", nullptr, kReconnect},
    {IDC_RECONNECT_INTERVAL, K::Edit, L"Interval:", nullptr, kReconnect},
    {IDC_STAT_OUTPUT_BUFFER_SIZE, K::Text, L"Output Buffer Size:", nullptr, kStatistics},
    {IDC_STAT_OUTPUT_BUFFER_FILLNESS, K::Text, L"Output Buffer Fillness:", nullptr, kStatistics},
    {IDC_STAT_OUTPUT_BITRATE, K::Text, L"Output Bitrate:", nullptr, kStatistics},
    {IDC_STAT_BUFFERED_AUDIO, K::Text, L"Buffered Audio Packets:", nullptr, kStatistics},
    {IDC_STAT_BUFFERED_VIDEO, K::Text, L"Buffered Video Packets:", nullptr, kStatistics},
    {IDC_STAT_AUDIO_BITRATE, K::Text, L"Audio Bitrate:", nullptr, kStatistics},
    {IDC_STAT_VIDEO_BITRATE, K::Text, L"Video Bitrate:", nullptr, kStatistics},
};

const DialogTemplate kDialog = {IDD_RTMPSINK_PROPERTIES, CRTMPSinkProperties::kTitle, L"MS Shell Dlg", 8, 201, 342,
                                kItems};

// The figures the refresh thread reads, in reading order, with their labels; the connection
// state comes last and goes into the status label.
struct Figure {
    const GUID* key;
    int id;
};
constexpr Figure kFigures[] = {
    {&CODECAPI_QV_VideoBitrate, IDC_STAT_VIDEO_BITRATE},
    {&CODECAPI_QV_AudioBitrate, IDC_STAT_AUDIO_BITRATE},
    {&CODECAPI_QV_BufferedVideoPackets, IDC_STAT_BUFFERED_VIDEO},
    {&CODECAPI_QV_BufferedAudioPackets, IDC_STAT_BUFFERED_AUDIO},
    {&CODECAPI_QV_OutputBitrate, IDC_STAT_OUTPUT_BITRATE},
    {&CODECAPI_QV_OutputBufferFillness, IDC_STAT_OUTPUT_BUFFER_FILLNESS},
    {&CODECAPI_QV_OutputBufferSize, IDC_STAT_OUTPUT_BUFFER_SIZE},
    {&CODECAPI_QV_Connected, IDC_STATUS},
};

constexpr uint32_t kRefreshPeriodMs = 40;
constexpr uint32_t kStopWaitMs = 1000;
// What the figures hold before there is anything to measure.
constexpr int32_t kNoFigure = 2147483647;

// A figure or option as an integer, whichever member the value carries.
int32_t IntOf(const VARIANT& v) { return v.vt == VT_BOOL ? v.boolVal : v.lVal; }

VARIANT I4(int32_t x) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = x;
    return v;
}

VARIANT Bool(bool b) {
    VARIANT v;
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// Whole decimal int32 text, blanks around it allowed; nothing else.
std::optional<int32_t> ParseInt(const std::wstring& text) {
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    errno = 0;
    const long long x = std::wcstoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || x < INT32_MIN || x > INT32_MAX) return std::nullopt;
    while (*end == L' ' || *end == L'\t') ++end;
    if (*end != 0) return std::nullopt;
    return static_cast<int32_t>(x);
}

}  // namespace

CUnknown* CRTMPSinkProperties::CreateInstance(IUnknown* pUnk, HRESULT* phr) {
    auto* page = new (std::nothrow) CRTMPSinkProperties(pUnk);
    if (!page && phr) *phr = E_OUTOFMEMORY;
    return page;
}

const DialogTemplate& CRTMPSinkProperties::Template() { return kDialog; }

CRTMPSinkProperties::CRTMPSinkProperties(IUnknown* pUnk)
    : CBasePropertyPage(L"CRTMPSinkProperties", pUnk, kDialog) {}

CRTMPSinkProperties::~CRTMPSinkProperties() {
    // A host that releases an active page: the refresh thread must not outlive it.
    if (m_Dlg) Deactivate();
}

HRESULT CRTMPSinkProperties::OnConnect(IUnknown* pUnk) {
    OnDisconnect();
    CComPtr<IUnknown> filter(pUnk);
    HRESULT hr = filter.As(IID_ICodecAPI, m_pCodecAPI);
    if (SUCCEEDED(hr)) hr = filter.As(IID_IFileSinkFilter, m_pFileSink);
    if (SUCCEEDED(hr)) hr = filter.As(IID_ISinkMode, m_pSinkMode);
    if (FAILED(hr)) {
        OnDisconnect();
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT CRTMPSinkProperties::OnDisconnect() {
    m_pCodecAPI.Release();
    m_pFileSink.Release();
    m_pSinkMode.Release();
    return S_OK;
}

void CRTMPSinkProperties::SetNumber(int id, const GUID& key) {
    VARIANT v;
    if (m_pCodecAPI->GetValue(&key, &v) == S_OK) m_Dlg->SetItemText(id, std::to_wstring(IntOf(v)).c_str());
    VariantClear(&v);
}

void CRTMPSinkProperties::SetCheck(int id, const GUID& key) {
    VARIANT v;
    if (m_pCodecAPI->GetValue(&key, &v) == S_OK) m_Dlg->CheckButton(id, IntOf(v) ? BST_CHECKED : BST_UNCHECKED);
    VariantClear(&v);
}

void CRTMPSinkProperties::FillControls() {
    LPOLESTR url = nullptr;
    if (m_pFileSink->GetCurFile(&url, nullptr) == S_OK && url) m_Dlg->SetItemText(IDC_URL, url);
    CoTaskMemFree(url);
    SetNumber(IDC_OUTPUT_BUFFER_SIZE, CODECAPI_QV_OutputBufferSize);
    SetNumber(IDC_OUTPUT_PACKET_SIZE, CODECAPI_QV_OutputPacketSize);
    BOOL live = FALSE;
    m_pSinkMode->GetLiveMode(&live);
    m_Dlg->CheckButton(IDC_LIVE_MODE, live ? BST_CHECKED : BST_UNCHECKED);
    SetCheck(IDC_ALLOW_B_FRAMES, CODECAPI_QV_AllowBFrames);
    SetCheck(IDC_WRITE_TIMECODE, CODECAPI_QV_WriteTimecode);
    SetCheck(IDC_TCP_NODELAY, CODECAPI_QV_TcpNoDelay);
    SetCheck(IDC_PASSTHROUGH_PADDING, CODECAPI_QV_PassthroughPadding);
    SetNumber(IDC_FIRST_TIMECODE, CODECAPI_QV_FirstTimecode);
    SetCheck(IDC_EMBED_SYSTEM_TIME, CODECAPI_QV_EmbedSystemTime);
    SetNumber(IDC_SOCKET_BUFFER_SIZE, CODECAPI_QV_SocketBufferSize);
    SetNumber(IDC_SEND_TIMEOUT, CODECAPI_QV_SendTimeout);
    SetNumber(IDC_RECEIVE_TIMEOUT, CODECAPI_QV_ReceiveTimeout);
    VARIANT user, password;
    const bool haveUser = m_pCodecAPI->GetValue(&CODECAPI_QV_UserName, &user) == S_OK && user.vt == VT_BSTR;
    const bool havePassword =
        m_pCodecAPI->GetValue(&CODECAPI_QV_Password, &password) == S_OK && password.vt == VT_BSTR;
    const bool named = haveUser && user.bstrVal && user.bstrVal[0] != 0;
    m_Dlg->CheckButton(IDC_USE_AUTHENTICATION, named ? BST_CHECKED : BST_UNCHECKED);
    m_Dlg->SetItemText(IDC_USERNAME, haveUser && user.bstrVal ? user.bstrVal : L"");
    m_Dlg->SetItemText(IDC_PASSWORD, havePassword && password.bstrVal ? password.bstrVal : L"");
    VariantClear(&user);
    VariantClear(&password);
    SetNumber(IDC_RECONNECT_ATTEMPTS, CODECAPI_QV_ReconnectAttempts);
    SetNumber(IDC_RECONNECT_INTERVAL, CODECAPI_QV_ReconnectInterval);
}

HRESULT CRTMPSinkProperties::OnActivate() {
    FillControls();
    m_Shown.fill(std::nullopt);
    m_evStop.Reset();
    m_evRefreshDone.Reset();
    try {
        m_RefreshThread = std::thread([this] { RefreshThreadProc(); });
    } catch (const std::system_error&) {
        Log(LOG_ERROR, 0, "CRTMPSinkProperties::OnActivate: could not start the refresh thread");
        return E_FAIL;
    }
    return S_OK;
}

void CRTMPSinkProperties::RefreshThreadProc() {
    platform::SetCurrentThreadName("th_page_refresh");
    try {
        while (!m_evStop.Wait(kRefreshPeriodMs) && RefreshFigures()) {
        }
    } catch (...) {
        // An escaping exception would end the host; the figures just stop.
        Log(LOG_ERROR, 0, "*** Exception in CRTMPSinkProperties refresh thread");
    }
    m_evRefreshDone.Set();
}

bool CRTMPSinkProperties::RefreshFigures() {
    static_assert(std::size(kFigures) == std::tuple_size_v<decltype(m_Shown)>);
    std::array<int32_t, std::size(kFigures)> now{};
    for (size_t i = 0; i < now.size(); ++i) {
        VARIANT v;
        const HRESULT hr = m_pCodecAPI->GetValue(kFigures[i].key, &v);
        now[i] = IntOf(v);
        VariantClear(&v);
        if (FAILED(hr)) return false;
    }
    const size_t status = now.size() - 1;
    for (size_t i = 0; i < status; ++i) {
        if (m_Shown[i] == now[i] || !m_Dlg->IsItemVisible(kFigures[i].id)) continue;
        const std::wstring text = now[i] == kNoFigure ? L"N/A" : std::to_wstring(now[i]);
        m_Dlg->SetItemText(kFigures[i].id, text.c_str());
        m_Shown[i] = now[i];
    }
    // The host passes every write on to its viewers, so the status too is written only when it
    // changes.
    const int32_t connected = now[status] != 0 ? 1 : 0;
    if (m_Shown[status] != connected) {
        m_Dlg->SetItemText(IDC_STATUS, connected ? L"Connected" : L"Not Connected");
        m_Shown[status] = connected;
    }
    return true;
}

void CRTMPSinkProperties::StopRefreshThread() {
    if (!m_RefreshThread.joinable()) return;
    m_evStop.Set();
    if (!m_evRefreshDone.Wait(kStopWaitMs)) {
        // A thread cannot be ended from outside without leaving its locks taken. This one only
        // blocks inside a codec-API read, which ends, so it is waited for.
        Log(LOG_TRACE, 0, "*** WARNING: CRTMPSinkProperties::OnDeactivate: wait timeout, terminateThread");
    }
    m_RefreshThread.join();
}

HRESULT CRTMPSinkProperties::OnDeactivate() {
    StopRefreshThread();
    return S_OK;
}

void CRTMPSinkProperties::SendCommand(const GUID& key) {
    if (!m_pCodecAPI) return;
    VARIANT v = I4(0);
    const HRESULT hr = m_pCodecAPI->SetValue(&key, &v);
    const char* what = key == CODECAPI_QV_ConnectServer ? "connect" : "disconnect";
    if (FAILED(hr)) Log(LOG_TRACE, 1, "CRTMPSinkProperties: %s failed 0x%X", what, static_cast<unsigned>(hr));
}

INT_PTR CRTMPSinkProperties::OnReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND) {
        const int id = CommandId(wParam);
        if (id == IDC_CONNECT)
            SendCommand(CODECAPI_QV_ConnectServer);
        else if (id == IDC_DISCONNECT)
            SendCommand(CODECAPI_QV_Disconnect);
        else
            SetDirty();
        return TRUE;
    }
    return CBasePropertyPage::OnReceiveMessage(message, wParam, lParam);
}

std::wstring CRTMPSinkProperties::ItemText(int id, size_t maxChars) const {
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    const UINT n = m_Dlg->GetItemText(id, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), std::min<size_t>(n, maxChars));
}

HRESULT CRTMPSinkProperties::OnApplyChanges() {
    if (!m_Dlg || !m_pCodecAPI) return E_UNEXPECTED;
    // Every number is read first, so a field that is no number changes nothing at all.
    struct Number {
        int id;
        const GUID* key;
        const char* name;
        int32_t value;
    };
    Number numbers[] = {
        {IDC_OUTPUT_BUFFER_SIZE, &CODECAPI_QV_OutputBufferSize, "Output Buffer Size", 0},
        {IDC_OUTPUT_PACKET_SIZE, &CODECAPI_QV_OutputPacketSize, "Output Packet Size", 0},
        {IDC_SOCKET_BUFFER_SIZE, &CODECAPI_QV_SocketBufferSize, "Socket Buffer Size", 0},
        {IDC_FIRST_TIMECODE, &CODECAPI_QV_FirstTimecode, "First Timecode", 0},
        {IDC_RECONNECT_ATTEMPTS, &CODECAPI_QV_ReconnectAttempts, "Attempts", 0},
        {IDC_RECONNECT_INTERVAL, &CODECAPI_QV_ReconnectInterval, "Interval", 0},
        {IDC_SEND_TIMEOUT, &CODECAPI_QV_SendTimeout, "Send", 0},
        {IDC_RECEIVE_TIMEOUT, &CODECAPI_QV_ReceiveTimeout, "Receive", 0},
    };
    for (Number& n : numbers) {
        const std::optional<int32_t> x = ParseInt(ItemText(n.id, 32));
        if (!x) {
            Log(LOG_ERROR, 0, "CRTMPSinkProperties::OnApplyChanges: %s is not a whole number", n.name);
            return E_INVALIDARG;
        }
        n.value = *x;
    }
    // The first value the filter refuses is the answer; the others are still set.
    HRESULT result = S_OK;
    auto note = [&result](HRESULT hr, const char* name) {
        if (hr == S_OK) return;
        Log(LOG_ERROR, 0, "CRTMPSinkProperties::OnApplyChanges: %s refused (0x%X)", name, static_cast<unsigned>(hr));
        // S_FALSE is how the filter refuses a too short reconnect interval.
        if (result == S_OK) result = FAILED(hr) ? hr : E_INVALIDARG;
    };
    auto set = [&](const GUID& key, VARIANT v, const char* name) {
        note(m_pCodecAPI->SetValue(&key, &v), name);
        VariantClear(&v);
    };
    auto setNumber = [&](int index) { set(*numbers[index].key, I4(numbers[index].value), numbers[index].name); };
    auto checked = [this](int id) { return m_Dlg->IsButtonChecked(id) == BST_CHECKED; };
    auto setText = [&](const GUID& key, const std::wstring& text, const char* name) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(text.c_str());
        if (!v.bstrVal) return note(E_OUTOFMEMORY, name);
        set(key, v, name);
    };

    // An unchanged URL is not set again: an empty one (no URL yet) would be refused.
    const std::wstring url = ItemText(IDC_URL, 8192);
    LPOLESTR current = nullptr;
    const bool same = m_pFileSink->GetCurFile(&current, nullptr) == S_OK && current && url == current;
    CoTaskMemFree(current);
    if (!same) note(m_pFileSink->SetFileName(url.c_str(), nullptr), "RTMP URL");
    setNumber(0);
    setNumber(1);
    set(CODECAPI_QV_AllowBFrames, Bool(checked(IDC_ALLOW_B_FRAMES)), "Allow B Frames");
    note(m_pSinkMode->SetLiveMode(checked(IDC_LIVE_MODE) ? TRUE : FALSE), "Live Mode");
    set(CODECAPI_QV_WriteTimecode, Bool(checked(IDC_WRITE_TIMECODE)), "Write Timecode");
    set(CODECAPI_QV_EmbedSystemTime, Bool(checked(IDC_EMBED_SYSTEM_TIME)), "Embed System Time");
    set(CODECAPI_QV_TcpNoDelay, Bool(checked(IDC_TCP_NODELAY)), "TCP No Delay");
    set(CODECAPI_QV_PassthroughPadding, Bool(checked(IDC_PASSTHROUGH_PADDING)), "Passthrough Padding");
    if (checked(IDC_USE_AUTHENTICATION)) {
        setText(CODECAPI_QV_UserName, ItemText(IDC_USERNAME, 256), "Username");
        setText(CODECAPI_QV_Password, ItemText(IDC_PASSWORD, 256), "Password");
    } else {
        setText(CODECAPI_QV_UserName, L"", "Username");
    }
    for (int i = 2; i < static_cast<int>(std::size(numbers)); ++i) setNumber(i);
    return result;
}
