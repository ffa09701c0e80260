// The writer filter's control surface without a server: defaults the host relies on and their
// overrides from the settings store, refused and clamped values, key directions, the three-step
// event callback registration, the output URL, and a connect that fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "FilterTestSupport.h"
#include "filter/CodecApiKeys.h"
#include "filter/Renderer.h"
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "platform/Settings.h"
#include "platform/com/ComPtr.h"
#include "platform/com/TaskMem.h"

using namespace filtertest;
namespace settings = platform::settings;

namespace {

VARIANT I4(int32_t x) {
    VARIANT v{};
    return v.vt = VT_I4, v.lVal = x, v;
}
VARIANT Bool(bool b) {
    VARIANT v{};
    return v.vt = VT_BOOL, v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE, v;
}
VARIANT Str(const std::wstring& s) {
    VARIANT v{};
    return v.vt = VT_BSTR, v.bstrVal = SysAllocStringLen(s.data(), static_cast<uint32_t>(s.size())), v;
}
VARIANT Ptr(void* p) {
    VARIANT v{};
    return v.vt = VT_I8, v.byref = p, v;
}

class WriterFilter : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv_filter_opts_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
    }
    void TearDown() override {
        Destroy();
        std::filesystem::remove_all(m_dir);
    }
    void Create() {
        HRESULT hr = S_OK;
        CUnknown* u = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_TRUE(u && hr == S_OK);
        u->NonDelegatingAddRef();
        m_filter = static_cast<CRenderer*>(u);
        ASSERT_EQ(m_filter->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&m_codec)), S_OK);
        ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPOptions, reinterpret_cast<void**>(&m_options)), S_OK);
    }
    void Destroy() {
        m_codec.Release();
        m_options.Release();
        if (m_filter) m_filter->Release();
        m_filter = nullptr;
    }
    HRESULT Set(const GUID& key, VARIANT v) {
        const HRESULT hr = m_codec->SetValue(&key, &v);
        VariantClear(&v);
        return hr;
    }
    // The key's value as "type:value", or "hr:<code>" when it cannot be read.
    std::wstring Val(const GUID& key) {
        VARIANT v;
        const HRESULT hr = m_codec->GetValue(&key, &v);
        if (hr != S_OK) return L"hr:" + std::to_wstring(hr);
        std::wstring s = v.vt == VT_I4     ? L"i4:" + std::to_wstring(v.lVal)
                         : v.vt == VT_UI4  ? L"ui4:" + std::to_wstring(v.ulVal)
                         : v.vt == VT_BOOL ? L"bool:" + std::to_wstring(v.boolVal)
                         : v.vt == VT_BSTR ? L"str:" + std::wstring(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal))
                                           : L"vt:" + std::to_wstring(v.vt);
        VariantClear(&v);
        return s;
    }

    std::string m_dir;
    CRenderer* m_filter = nullptr;
    CComPtr<ICodecAPI> m_codec;
    CComPtr<IRTMPOptions> m_options;
};

const GUID kUnknownKey = {0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
const std::wstring kAgent = L"str:FMLE/3.0 (compatible; FMSc/1.0)";

TEST_F(WriterFilter, DefaultsAndTheirOverridesFromTheSettingsStore) {
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", ""));
    Create();
    const std::pair<const GUID*, std::wstring> defaults[] = {
        {&CODECAPI_QV_OutputBufferSize, L"i4:262144"}, {&CODECAPI_QV_OutputPacketSize, L"i4:1450"},
        {&CODECAPI_QV_SocketBufferSize, L"i4:131072"}, {&CODECAPI_QV_ReconnectAttempts, L"i4:5"},
        {&CODECAPI_QV_ReconnectInterval, L"i4:5000"},  {&CODECAPI_QV_AllowBFrames, L"bool:-1"},
        {&CODECAPI_QV_BufferMode, L"ui4:1"} /* drop, not block, when the network is slow */,
        {&CODECAPI_QV_UserAgent, kAgent} /* an empty setting is no setting */,
        {&CODECAPI_QV_ConnectArguments, L"str:"},      {&CODECAPI_QV_Connected, L"bool:0"},
    };
    for (const auto& [key, want] : defaults) EXPECT_EQ(Val(*key), want) << GuidToString(*key);
    EXPECT_TRUE(m_filter->InputPin(0)->Options().timeoutEnabled);
    Destroy();

    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "SendBufferSize", 1000));
    ASSERT_TRUE(settings::WriteString(settings::Scope::Machine, KEY_RTMPSINK, "SendPacketSize", "512"));
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", "Agent/2.0"));
    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "StopIfTimeout", 0));
    Create();
    EXPECT_EQ(Val(CODECAPI_QV_OutputBufferSize), L"i4:1000");
    EXPECT_EQ(Val(CODECAPI_QV_OutputPacketSize), L"i4:512") << "a string value is read as decimal text";
    EXPECT_EQ(Val(CODECAPI_QV_UserAgent), L"str:Agent/2.0");
    EXPECT_FALSE(m_filter->InputPin(0)->Options().timeoutEnabled);
    EXPECT_EQ(m_filter->InputPin(0)->Options().blockTimeoutMs, 1000);
}

// Applied in order to one filter: each row sets a key and reads back `read` (or the same key).
TEST_F(WriterFilter, ValuesAreRefusedClampedOrConvertedByKey) {
    Create();
    const size_t max = RendererOptions::kMaxConnectArgsChars;
    const std::wstring args = L"{\"a\":1,\"b\":\"x\u00e9\u4e2d\"}";
    const std::wstring longest = L"{\"k\":\"" + std::wstring(max - 8, L'v') + L"\"}";
    struct Row {
        const GUID* key;
        VARIANT in;
        HRESULT hr;
        std::wstring want;
        const GUID* read = nullptr;
    } rows[] = {
        {&kUnknownKey, I4(1), E_INVALIDARG, L"hr:" + std::to_wstring(E_INVALIDARG)},
        {&CODECAPI_QV_OutputBitrate, I4(1), E_NOTIMPL, L"i4:0"} /* a figure, read-only */,
        {&CODECAPI_QV_Disconnect, I4(0), S_OK, L"hr:" + std::to_wstring(E_NOTIMPL)} /* an action, not a value */,
        {&CODECAPI_QV_OutputBufferSize, I4(104857600), S_OK, L"i4:104857600"},
        {&CODECAPI_QV_OutputBufferSize, I4(104857601), E_UNEXPECTED, L"i4:104857600"},
        {&CODECAPI_QV_OutputPacketSize, I4(104857601), E_UNEXPECTED, L"i4:1450"},
        {&CODECAPI_QV_OutputPacketSize, I4(4000), S_OK, L"i4:4000"},
        {&CODECAPI_QV_SocketBufferSize, I4(10485759), S_OK, L"i4:10485759"},
        {&CODECAPI_QV_SocketBufferSize, I4(10485760), E_INVALIDARG, L"i4:10485759"},
        {&CODECAPI_QV_ReconnectInterval, I4(99), S_FALSE, L"i4:5000"},
        {&CODECAPI_QV_ReconnectInterval, I4(100), S_OK, L"i4:100"},
        {&CODECAPI_QV_SendTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_ReceiveTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_ConnectTimeout, I4(777), S_OK, L"i4:777"},
        {&CODECAPI_QV_ConnectTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_WriteTimecode, I4(1), S_OK, L"bool:-1"},
        {&CODECAPI_QV_AbsoluteTime, [] { VARIANT v{}; return v.vt = VT_UI4, v.ulVal = 0xFFFFFFF0u, v; }(), S_OK,
         L"ui4:4294967280"},
        {&CODECAPI_QV_UserName, Str(std::wstring(300, L'u')), S_OK, L"str:" + std::wstring(256, L'u')},
        {&CODECAPI_QV_UserName, I4(5), E_INVALIDARG, L"str:" + std::wstring(256, L'u')},
        {&CODECAPI_QV_Password, Str(L"secret"), S_OK, L"str:secret"},
        {&CODECAPI_QV_FallbackPortsDefault, I4(1), E_FAIL, L"bool:0"},
        {&CODECAPI_QV_FallbackTunnelDefault, Bool(true), S_OK, L"bool:-1"},
        {&CODECAPI_QV_UserAgent, I4(1), E_FAIL, kAgent},
        {&CODECAPI_QV_UserAgent, Str(L"Writer/9"), S_OK, L"str:Writer/9"},
        {&CODECAPI_QV_ConnectArguments, Str(args), S_OK, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, I4(7), E_INVALIDARG, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, Bool(true), E_INVALIDARG, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, Str(std::wstring(max + 1, L' ')), E_INVALIDARG, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, Str(longest), S_OK, L"str:" + longest},
        {&CODECAPI_QV_ConnectArguments, [] { VARIANT v{}; return v.vt = VT_BSTR, v.bstrVal = nullptr, v; }(), S_OK,
         L"str:"},
        // Unlimited reconnection keeps the attempts aside and gives them back.
        {&CODECAPI_QV_ReconnectAttempts, I4(7), S_OK, L"i4:7"},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(false), S_OK, L"i4:7", &CODECAPI_QV_ReconnectAttempts},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(true), S_OK, L"i4:-1", &CODECAPI_QV_ReconnectAttempts},
        {&CODECAPI_QV_UnlimitedReconnect, I4(0), S_OK, L"bool:-1"},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(false), S_OK, L"i4:7", &CODECAPI_QV_ReconnectAttempts},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(GuidToString(*r.key) + " row " + std::to_string(&r - rows));
        EXPECT_EQ(Set(*r.key, r.in), r.hr);
        EXPECT_EQ(Val(r.read ? *r.read : *r.key), r.want);
    }
    EXPECT_EQ(m_options->SetOutputBufferSize(104857601), E_UNEXPECTED) << "the options interface has the same bounds";
    EXPECT_EQ(m_options->SetReconnectInterval(99), S_FALSE);
}

struct CallbackLog {
    std::vector<std::wstring> messages;
};
int RecordCallback(void* context, const wchar_t*, const wchar_t* message) {
    static_cast<CallbackLog*>(context)->messages.emplace_back(message);
    return 0;
}

TEST_F(WriterFilter, EventCallbackNeedsFunctionContextAndCommit) {
    ResetEventCallbacksForTests();
    Create();
    CallbackLog log;
    auto commit = [&] { ASSERT_EQ(Set(CODECAPI_QV_EventCallbackCommit, I4(0)), S_OK); };
    commit();
    ASSERT_EQ(Set(CODECAPI_QV_EventCallbackFunction, Ptr(reinterpret_cast<void*>(&RecordCallback))), S_OK);
    commit();
    PostEvent("info", "first");
    EXPECT_TRUE(log.messages.empty()) << "a commit without a context registers nothing";
    ASSERT_EQ(Set(CODECAPI_QV_EventCallbackContext, Ptr(&log)), S_OK);
    commit();
    PostEvent("info", "second");
    EXPECT_EQ(log.messages, std::vector<std::wstring>{L"second"});
    ResetEventCallbacksForTests();
}

TEST_F(WriterFilter, OutputUrlAndLiveMode) {
    Create();
    CComPtr<IFileSinkFilter> file;
    ASSERT_EQ(m_filter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&file)), S_OK);
    EXPECT_EQ(file->SetFileName(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(file->SetFileName(L"nothing", nullptr), HRESULT_FILE_NOT_FOUND);
    ASSERT_EQ(file->SetFileName(L"rtmp://example.org:1936/live/stream", nullptr), S_OK);
    LPOLESTR url = nullptr;
    ASSERT_EQ(file->GetCurFile(&url, nullptr), S_OK);
    EXPECT_STREQ(url, L"rtmp://example.org:1936/live/stream");
    CoTaskMemFree(url);
    CComPtr<ISinkMode> mode;
    ASSERT_EQ(m_filter->QueryInterface(IID_ISinkMode, reinterpret_cast<void**>(&mode)), S_OK);
    ASSERT_EQ(mode->SetLiveMode(TRUE), S_OK);
    EXPECT_TRUE(m_filter->IsCapture()) << "live mode restamps video from the wall clock";
}

int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

TEST_F(WriterFilter, ConnectFailureClosesUnlessStartingWithoutConnection) {
    Create();
    const int port = FreePort();
    ASSERT_GT(port, 0);
    CComPtr<IFileSinkFilter> file;
    ASSERT_EQ(m_filter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&file)), S_OK);
    ASSERT_EQ(file->SetFileName((L"rtmp://127.0.0.1:" + std::to_wstring(port) + L"/live/s").c_str(), nullptr), S_OK);
    ASSERT_EQ(m_options->SetReconnectAttempts(0), S_OK);
    EXPECT_EQ(m_options->ConnectServer(), E_FAIL);
    EXPECT_TRUE(m_filter->ConnectFailed()) << "the pins answer S_FALSE until the graph stops";
    EXPECT_FALSE(m_filter->SinkInited());
    EXPECT_EQ(Val(CODECAPI_QV_Connected), L"bool:0");
    EXPECT_EQ(m_filter->Stop(), S_OK);
    EXPECT_FALSE(m_filter->ConnectFailed()) << "a stop clears the failure";
    ASSERT_EQ(Set(CODECAPI_QV_StartWithoutConnection, Bool(true)), S_OK);
    EXPECT_EQ(Set(CODECAPI_QV_ConnectServer, I4(0)), S_OK);
    EXPECT_FALSE(m_filter->ConnectFailed());
    EXPECT_EQ(Set(CODECAPI_QV_Disconnect, I4(0)), S_OK);
}

}  // namespace
