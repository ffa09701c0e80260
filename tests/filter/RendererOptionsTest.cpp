// The writer filter's control surface without a server: option defaults from the settings
// store, bounds, the codec-API keys with their types and directions, the three-step event
// callback registration, the output URL, the pins' media types, and a connect that fails.
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
        m_codec.Release();
        m_options.Release();
        if (m_filter) m_filter->Release();
        std::filesystem::remove_all(m_dir);
    }
    void Create() {
        HRESULT hr = S_OK;
        CUnknown* u = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_NE(u, nullptr);
        ASSERT_EQ(hr, S_OK);
        u->NonDelegatingAddRef();
        m_filter = static_cast<CRenderer*>(u);
        ASSERT_EQ(m_filter->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&m_codec)), S_OK);
        ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPOptions, reinterpret_cast<void**>(&m_options)), S_OK);
    }
    HRESULT Set(const GUID& key, VARIANT v) { return m_codec->SetValue(&key, &v); }
    HRESULT SetI4(const GUID& key, int32_t x) {
        VARIANT v;
        v.vt = VT_I4;
        v.lVal = x;
        return Set(key, v);
    }
    HRESULT SetBool(const GUID& key, bool b) {
        VARIANT v;
        v.vt = VT_BOOL;
        v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
        return Set(key, v);
    }
    VARIANT Get(const GUID& key, HRESULT* hr = nullptr) {
        VARIANT v;
        HRESULT r = m_codec->GetValue(&key, &v);
        if (hr) *hr = r;
        return v;
    }

    std::string m_dir;
    CRenderer* m_filter = nullptr;
    CComPtr<ICodecAPI> m_codec;
    CComPtr<IRTMPOptions> m_options;
};

TEST_F(WriterFilter, DefaultsComeFromTheSettingsStore) {
    Create();
    int32_t x = 0;
    EXPECT_EQ(m_options->GetOutputBufferSize(&x), S_OK);
    EXPECT_EQ(x, 262144);
    EXPECT_EQ(m_options->GetOutputPacketSize(&x), S_OK);
    EXPECT_EQ(x, 1450);
    EXPECT_EQ(m_options->GetSocketBufferSize(&x), S_OK);
    EXPECT_EQ(x, 131072);
    EXPECT_EQ(m_options->GetReconnectAttempts(&x), S_OK);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(m_options->GetReconnectInterval(&x), S_OK);
    EXPECT_EQ(x, 5000);
    BOOL b = FALSE;
    EXPECT_EQ(m_options->GetAllowBFrames(&b), S_OK);
    EXPECT_TRUE(b);
    VARIANT agent = Get(CODECAPI_QV_UserAgent);
    ASSERT_EQ(agent.vt, VT_BSTR);
    EXPECT_STREQ(agent.bstrVal, L"FMLE/3.0 (compatible; FMSc/1.0)");
    VariantClear(&agent);
    VARIANT mode = Get(CODECAPI_QV_BufferMode);
    EXPECT_EQ(mode.vt, VT_UI4);
    EXPECT_EQ(mode.ulVal, 1u);
    EXPECT_TRUE(m_filter->InputPin(0) && m_filter->InputPin(0)->Options().timeoutEnabled);
    m_codec.Release();
    m_options.Release();
    m_filter->Release();
    m_filter = nullptr;

    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "SendBufferSize", 1000));
    ASSERT_TRUE(settings::WriteString(settings::Scope::Machine, KEY_RTMPSINK, "SendPacketSize", "512"));
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", "Agent/2.0"));
    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "StopIfTimeout", 0));
    Create();
    EXPECT_EQ(m_options->GetOutputBufferSize(&x), S_OK);
    EXPECT_EQ(x, 1000);
    EXPECT_EQ(m_options->GetOutputPacketSize(&x), S_OK);
    EXPECT_EQ(x, 512) << "a string value is read as decimal text";
    agent = Get(CODECAPI_QV_UserAgent);
    EXPECT_STREQ(agent.bstrVal, L"Agent/2.0");
    VariantClear(&agent);
    EXPECT_FALSE(m_filter->InputPin(0)->Options().timeoutEnabled);
    EXPECT_EQ(m_filter->InputPin(0)->Options().blockTimeoutMs, 1000);
}

TEST_F(WriterFilter, EmptyUserAgentSettingFallsBackToDefault) {
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", ""));
    Create();
    VARIANT agent = Get(CODECAPI_QV_UserAgent);
    EXPECT_STREQ(agent.bstrVal, L"FMLE/3.0 (compatible; FMSc/1.0)");
    VariantClear(&agent);
}

TEST_F(WriterFilter, OptionBounds) {
    Create();
    int32_t x = 0;
    EXPECT_EQ(m_options->SetOutputBufferSize(104857600), S_OK);
    EXPECT_EQ(m_options->SetOutputBufferSize(104857601), E_UNEXPECTED);
    m_options->GetOutputBufferSize(&x);
    EXPECT_EQ(x, 104857600) << "a refused value keeps the old one";
    EXPECT_EQ(m_options->SetOutputPacketSize(104857601), E_UNEXPECTED);
    EXPECT_EQ(m_options->SetSocketBufferSize(10485759), S_OK);
    EXPECT_EQ(m_options->SetSocketBufferSize(10485760), E_INVALIDARG);
    m_options->GetSocketBufferSize(&x);
    EXPECT_EQ(x, 10485759);
    EXPECT_EQ(m_options->SetReconnectInterval(99), S_FALSE);
    m_options->GetReconnectInterval(&x);
    EXPECT_EQ(x, 5000);
    EXPECT_EQ(m_options->SetReconnectInterval(100), S_OK);
    EXPECT_EQ(m_options->GetReconnectInterval(nullptr), E_POINTER);
    EXPECT_EQ(m_options->GetUserName(nullptr), E_POINTER);

    std::wstring longName(300, L'u');
    EXPECT_EQ(m_options->SetUserName(longName.c_str()), S_OK);
    LPWSTR name = nullptr;
    ASSERT_EQ(m_options->GetUserName(&name), S_OK);
    EXPECT_EQ(std::wstring(name), std::wstring(256, L'u')) << "at most 256 characters are kept";
    CoTaskMemFree(name);
    // The same bounds apply through the codec keys.
    EXPECT_EQ(SetI4(CODECAPI_QV_OutputBufferSize, 104857601), E_UNEXPECTED);
    EXPECT_EQ(SetI4(CODECAPI_QV_ReconnectInterval, 99), S_FALSE);
    EXPECT_EQ(SetI4(CODECAPI_QV_SocketBufferSize, 10485760), E_INVALIDARG);
}

TEST_F(WriterFilter, CodecKeysMirrorOptionsWithTheirTypes) {
    Create();
    ASSERT_EQ(SetI4(CODECAPI_QV_OutputPacketSize, 4000), S_OK);
    int32_t x = 0;
    m_options->GetOutputPacketSize(&x);
    EXPECT_EQ(x, 4000);
    ASSERT_EQ(m_options->SetReconnectAttempts(9), S_OK);
    VARIANT v = Get(CODECAPI_QV_ReconnectAttempts);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 9);

    ASSERT_EQ(SetBool(CODECAPI_QV_TcpNoDelay, true), S_OK);
    v = Get(CODECAPI_QV_TcpNoDelay);
    EXPECT_EQ(v.vt, VT_BOOL);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE) << "true is -1";
    ASSERT_EQ(SetI4(CODECAPI_QV_WriteTimecode, 1), S_OK) << "an integer member sets a boolean key";
    BOOL b = FALSE;
    CComPtr<ITimecode> tc;
    ASSERT_EQ(m_filter->QueryInterface(IID_ITimecode, reinterpret_cast<void**>(&tc)), S_OK);
    tc->GetWriteTimecode(&b);
    EXPECT_TRUE(b);
    ASSERT_EQ(tc->SetTimecodeInterval(250), S_OK);
    v = Get(CODECAPI_QV_TimecodeInterval);
    EXPECT_EQ(v.lVal, 250);

    for (const GUID* k : {&CODECAPI_QV_SendTimeout, &CODECAPI_QV_ReceiveTimeout, &CODECAPI_QV_ConnectTimeout}) {
        ASSERT_EQ(SetI4(*k, 777), S_OK);
        v = Get(*k);
        EXPECT_EQ(v.vt, VT_I4);
        EXPECT_EQ(v.lVal, 777);
        ASSERT_EQ(SetI4(*k, -5), S_OK);
        EXPECT_EQ(Get(*k).lVal, 0) << "negative time-outs are stored as 0";
    }
    VARIANT ui;
    ui.vt = VT_UI4;
    ui.ulVal = 0xFFFFFFF0u;
    ASSERT_EQ(Set(CODECAPI_QV_AbsoluteTime, ui), S_OK);
    v = Get(CODECAPI_QV_AbsoluteTime);
    EXPECT_EQ(v.vt, VT_UI4);
    EXPECT_EQ(v.ulVal, 0xFFFFFFF0u);

    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"secret");
    ASSERT_EQ(Set(CODECAPI_QV_Password, text), S_OK);
    VariantClear(&text);
    LPWSTR pw = nullptr;
    ASSERT_EQ(m_options->GetPassword(&pw), S_OK);
    EXPECT_STREQ(pw, L"secret");
    CoTaskMemFree(pw);
    EXPECT_EQ(SetI4(CODECAPI_QV_UserName, 5), E_INVALIDARG) << "a name must be text";

    ASSERT_EQ(SetI4(CODECAPI_QV_RecordMode, 2), S_OK);
    v = Get(CODECAPI_QV_RecordMode);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 2);
}

TEST_F(WriterFilter, CodecKeyDirectionsAndUnknownKeys) {
    Create();
    const GUID* getOnly[] = {&CODECAPI_QV_OutputBufferFillness, &CODECAPI_QV_OutputBitrate,
                             &CODECAPI_QV_BufferedAudioPackets, &CODECAPI_QV_BufferedVideoPackets,
                             &CODECAPI_QV_VideoBitrate,         &CODECAPI_QV_AudioBitrate,
                             &CODECAPI_QV_Connected,            &CODECAPI_QV_ConnectResponseTime};
    const GUID* setOnly[] = {&CODECAPI_QV_ConnectServer,        &CODECAPI_QV_Disconnect,
                             &CODECAPI_QV_DropConnection,       &CODECAPI_QV_RestartStream,
                             &CODECAPI_QV_SendPeerBandwidth,    &CODECAPI_QV_CreateSniffer,
                             &CODECAPI_QV_DestroySniffer,       &CODECAPI_QV_EventCallbackContext,
                             &CODECAPI_QV_EventCallbackFunction, &CODECAPI_QV_EventCallbackCommit};
    for (const GUID* k : getOnly) {
        EXPECT_EQ(m_codec->IsSupported(k), S_OK);
        EXPECT_EQ(m_codec->IsModifiable(k), S_FALSE);
        EXPECT_EQ(SetI4(*k, 1), E_NOTIMPL);
        HRESULT hr;
        VARIANT v = Get(*k, &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(v.vt, *k == CODECAPI_QV_Connected ? VT_BOOL : VT_I4);
    }
    for (const GUID* k : setOnly) {
        EXPECT_EQ(m_codec->IsSupported(k), S_OK);
        EXPECT_EQ(m_codec->IsModifiable(k), S_OK);
        HRESULT hr;
        Get(*k, &hr);
        EXPECT_EQ(hr, E_NOTIMPL);
    }
    EXPECT_EQ(Get(CODECAPI_QV_Connected).boolVal, VARIANT_FALSE);
    const GUID unknown = {0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(m_codec->IsSupported(&unknown), E_INVALIDARG);
    EXPECT_EQ(SetI4(unknown, 1), E_INVALIDARG);
    HRESULT hr;
    Get(unknown, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    VARIANT v;
    EXPECT_EQ(m_codec->GetValue(nullptr, &v), E_POINTER);
    EXPECT_EQ(m_codec->GetValue(&CODECAPI_QV_TcpNoDelay, nullptr), E_POINTER);
    EXPECT_EQ(m_codec->SetValue(&CODECAPI_QV_TcpNoDelay, nullptr), E_POINTER);
    EXPECT_EQ(m_codec->GetDefaultValue(&CODECAPI_QV_TcpNoDelay, &v), E_NOTIMPL);
    EXPECT_EQ(m_codec->SetAllDefaults(), E_NOTIMPL);
    EXPECT_EQ(m_codec->GetAllSettings(nullptr), E_NOTIMPL);
}

TEST_F(WriterFilter, StatisticsGettersLeaveValueAloneWhileStopped) {
    Create();
    int32_t x = 12345;
    EXPECT_EQ(m_options->GetOutputBitrate(&x), S_OK);
    EXPECT_EQ(m_options->GetBufferedVideoPackets(&x), S_OK);
    EXPECT_EQ(m_options->GetOutputBufferFillness(&x), S_OK);
    EXPECT_EQ(x, 12345);
    EXPECT_EQ(m_options->GetAudioBitrate(nullptr), E_POINTER);
}

TEST_F(WriterFilter, UnlimitedReconnectionKeepsAndRestoresAttempts) {
    Create();
    ASSERT_EQ(m_options->SetReconnectAttempts(7), S_OK);
    ASSERT_EQ(SetBool(CODECAPI_QV_UnlimitedReconnect, false), S_OK);
    int32_t x = 0;
    m_options->GetReconnectAttempts(&x);
    EXPECT_EQ(x, 7) << "false without a prior true changes nothing";
    EXPECT_EQ(Get(CODECAPI_QV_UnlimitedReconnect).boolVal, VARIANT_FALSE);
    ASSERT_EQ(SetBool(CODECAPI_QV_UnlimitedReconnect, true), S_OK);
    m_options->GetReconnectAttempts(&x);
    EXPECT_EQ(x, -1);
    EXPECT_EQ(Get(CODECAPI_QV_UnlimitedReconnect).boolVal, VARIANT_TRUE);
    ASSERT_EQ(SetI4(CODECAPI_QV_UnlimitedReconnect, 0), S_OK);
    m_options->GetReconnectAttempts(&x);
    EXPECT_EQ(x, -1) << "a value of another type is ignored";
    ASSERT_EQ(SetBool(CODECAPI_QV_UnlimitedReconnect, false), S_OK);
    m_options->GetReconnectAttempts(&x);
    EXPECT_EQ(x, 7);
}

TEST_F(WriterFilter, TypedKeysRefuseOtherTypes) {
    Create();
    EXPECT_EQ(SetI4(CODECAPI_QV_FallbackPortsDefault, 1), E_FAIL);
    EXPECT_EQ(SetI4(CODECAPI_QV_FallbackTunnelDefault, 1), E_FAIL);
    EXPECT_EQ(SetI4(CODECAPI_QV_UserAgent, 1), E_FAIL);
    EXPECT_EQ(Get(CODECAPI_QV_FallbackPortsDefault).boolVal, VARIANT_FALSE);
    ASSERT_EQ(SetBool(CODECAPI_QV_FallbackTunnelDefault, true), S_OK);
    EXPECT_EQ(Get(CODECAPI_QV_FallbackTunnelDefault).boolVal, VARIANT_TRUE);
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"Writer/9");
    ASSERT_EQ(Set(CODECAPI_QV_UserAgent, text), S_OK);
    VariantClear(&text);
    VARIANT v = Get(CODECAPI_QV_UserAgent);
    EXPECT_STREQ(v.bstrVal, L"Writer/9");
    VariantClear(&v);
}

TEST_F(WriterFilter, ConnectArgumentsKeyKeepsTheTextAndRefusesOthers) {
    Create();
    EXPECT_EQ(m_codec->IsSupported(&CODECAPI_QV_ConnectArguments), S_OK);
    EXPECT_EQ(m_codec->IsModifiable(&CODECAPI_QV_ConnectArguments), S_OK);
    auto text = [this]() {
        HRESULT hr = E_FAIL;
        VARIANT v = Get(CODECAPI_QV_ConnectArguments, &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(v.vt, VT_BSTR);
        std::wstring out = v.vt == VT_BSTR && v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"?";
        VariantClear(&v);
        return out;
    };
    auto setText = [this](const std::wstring& s) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(s.data(), static_cast<uint32_t>(s.size()));
        const HRESULT hr = Set(CODECAPI_QV_ConnectArguments, v);
        VariantClear(&v);
        return hr;
    };
    EXPECT_EQ(text(), L"") << "none by default";

    const std::wstring args = L"{\"a\":1,\"b\":\"x\u00e9\u4e2d\"}";
    ASSERT_EQ(setText(args), S_OK);
    EXPECT_EQ(text(), args);

    // Another type, or a text too long to go out whole, leaves the arguments as they were.
    EXPECT_EQ(SetI4(CODECAPI_QV_ConnectArguments, 7), E_INVALIDARG);
    EXPECT_EQ(SetBool(CODECAPI_QV_ConnectArguments, true), E_INVALIDARG);
    EXPECT_EQ(setText(std::wstring(RendererOptions::kMaxConnectArgsChars + 1, L' ')), E_INVALIDARG);
    EXPECT_EQ(text(), args);
    const std::wstring longest = L"{\"k\":\"" + std::wstring(RendererOptions::kMaxConnectArgsChars - 8, L'v') + L"\"}";
    ASSERT_EQ(longest.size(), RendererOptions::kMaxConnectArgsChars);
    ASSERT_EQ(setText(longest), S_OK);
    EXPECT_EQ(text(), longest);

    // A null text is an empty one: the arguments are cleared.
    VARIANT none;
    none.vt = VT_BSTR;
    none.bstrVal = nullptr;
    ASSERT_EQ(Set(CODECAPI_QV_ConnectArguments, none), S_OK);
    EXPECT_EQ(text(), L"");
}

struct CallbackLog {
    std::vector<std::wstring> messages;
};
int RecordCallback(void* context, const wchar_t*, const wchar_t* message) {
    static_cast<CallbackLog*>(context)->messages.emplace_back(message);
    return 0;
}
int OtherCallback(void* context, const wchar_t*, const wchar_t* message) {
    static_cast<CallbackLog*>(context)->messages.emplace_back(std::wstring(L"other:") + message);
    return 0;
}

TEST_F(WriterFilter, EventCallbackNeedsFunctionContextAndCommit) {
    ResetEventCallbacksForTests();
    Create();
    CallbackLog log;
    auto setPtr = [&](const GUID& key, void* p) {
        VARIANT v;
        v.vt = VT_I8;
        v.byref = p;
        return Set(key, v);
    };
    ASSERT_EQ(SetI4(CODECAPI_QV_EventCallbackCommit, 0), S_OK);
    ASSERT_EQ(setPtr(CODECAPI_QV_EventCallbackFunction, reinterpret_cast<void*>(&RecordCallback)), S_OK);
    ASSERT_EQ(SetI4(CODECAPI_QV_EventCallbackCommit, 0), S_OK);
    PostEvent("info", "first");
    EXPECT_TRUE(log.messages.empty()) << "a commit without a context registers nothing";
    ASSERT_EQ(setPtr(CODECAPI_QV_EventCallbackContext, &log), S_OK);
    ASSERT_EQ(SetI4(CODECAPI_QV_EventCallbackCommit, 0), S_OK);
    PostEvent("info", "second");
    ASSERT_EQ(log.messages, std::vector<std::wstring>{L"second"});
    // The commit cleared both: a new function alone is not registered.
    ASSERT_EQ(setPtr(CODECAPI_QV_EventCallbackFunction, reinterpret_cast<void*>(&OtherCallback)), S_OK);
    ASSERT_EQ(SetI4(CODECAPI_QV_EventCallbackCommit, 0), S_OK);
    PostEvent("info", "third");
    EXPECT_EQ(log.messages, (std::vector<std::wstring>{L"second", L"third"}));
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
    EXPECT_EQ(file->GetCurFile(nullptr, nullptr), E_POINTER);
    ASSERT_EQ(file->GetCurFile(&url, nullptr), S_OK);
    EXPECT_STREQ(url, L"rtmp://example.org:1936/live/stream");
    CoTaskMemFree(url);
    EXPECT_EQ(m_filter->Options().outputUrl, "rtmp://example.org:1936/live/stream");

    CComPtr<ISinkMode> mode;
    ASSERT_EQ(m_filter->QueryInterface(IID_ISinkMode, reinterpret_cast<void**>(&mode)), S_OK);
    ASSERT_EQ(mode->SetLiveMode(TRUE), S_OK);
    BOOL live = FALSE;
    mode->GetLiveMode(&live);
    EXPECT_TRUE(live);
    EXPECT_TRUE(m_filter->IsCapture());
    ASSERT_EQ(mode->SetAudioDelay(250), S_OK);
    int32_t delay = 0;
    mode->GetAudioDelay(&delay);
    EXPECT_EQ(delay, 250);
}

TEST_F(WriterFilter, InterfacesAndNoPropertyPagesYet) {
    Create();
    const IID* iids[] = {&IID_IFileSinkFilter, &IID_ISinkMode,        &IID_ISpecifyPropertyPages,
                         &IID_IRTMPOptions,    &IID_ITimecode,        &IID_ICodecAPI,
                         &IID_ICodecProp,      &IID_IRTMPCommandSink, &IID_IRTMPMetadataSink,
                         &IID_IRTMPStatusNotify, &IID_IAMFilterMiscFlags, &IID_IBaseFilter};
    for (const IID* iid : iids) {
        IUnknown* p = nullptr;
        EXPECT_EQ(m_filter->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK) << GuidToString(*iid);
        if (p) p->Release();
    }
    CComPtr<ISpecifyPropertyPages> pages;
    ASSERT_EQ(m_filter->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages)), S_OK);
    CAUUID ids{7, reinterpret_cast<GUID*>(1)};
    ASSERT_EQ(pages->GetPages(&ids), S_OK);
    EXPECT_EQ(ids.cElems, 0u);
    EXPECT_EQ(ids.pElems, nullptr);
}

void Handler(void*, void*, int32_t) {}

TEST_F(WriterFilter, MessagingNeedsAConnection) {
    Create();
    CComPtr<IRTMPStatusNotify> status;
    ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPStatusNotify, reinterpret_cast<void**>(&status)), S_OK);
    EXPECT_EQ(status->SetStatusNotifyHandler(nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(status->SetStatusNotifyHandler(this, nullptr, &Handler), S_OK);
    EXPECT_EQ(status->ClearStatusNotifyHandler(), S_OK);

    CComPtr<IRTMPMetadataSink> meta;
    ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPMetadataSink, reinterpret_cast<void**>(&meta)), S_OK);
    EXPECT_EQ(meta->ClearMetadata(), E_FAIL);
    EXPECT_EQ(meta->SendInvokeString(nullptr, L"{}", nullptr, 0), E_FAIL);
    EXPECT_EQ(meta->SendInvokeString(L"onText", L"{}", nullptr, 0), E_FAIL);
    EXPECT_EQ(meta->SendCuepoint(nullptr, 0), E_FAIL);
    CComPtr<IRTMPCommandSink> cmd;
    ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPCommandSink, reinterpret_cast<void**>(&cmd)), S_OK);
    EXPECT_EQ(cmd->SendRTMPCommand(L"ping", nullptr, nullptr, 0), E_FAIL);
}

TEST_F(WriterFilter, PinsProposeAndCheckTheirTypes) {
    Create();
    CMediaType mt;
    EXPECT_EQ(m_filter->GetMediaType(0, &mt, 0), S_OK);
    EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_H264);
    EXPECT_EQ(m_filter->GetMediaType(0, &mt, 1), S_OK);
    EXPECT_EQ(mt.majortype, MEDIATYPE_Audio);
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_AAC);
    EXPECT_EQ(m_filter->GetMediaType(1, &mt, 0), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(m_filter->GetMediaType(0, &mt, 2), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(m_filter->CheckMediaType(nullptr, 0), E_POINTER);
    CMediaType video = VideoType(), audio = AudioType();
    EXPECT_EQ(m_filter->CheckMediaType(&video, 0), S_OK);
    EXPECT_EQ(m_filter->CheckMediaType(&audio, 0), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(m_filter->CheckMediaType(&audio, 1), S_OK);
    EXPECT_EQ(m_filter->CheckMediaType(&video, 1), VFW_E_TYPE_NOT_ACCEPTED);

    // Through a graph: the pins connect to an encoder's types and refuse the wrong one.
    SourceGraph graph;
    ASSERT_TRUE(graph.Build(m_filter, {0, 1}));
    EXPECT_EQ(m_filter->TrackOfPin(0), 0);
    EXPECT_EQ(m_filter->TrackOfPin(1), 1);
    EXPECT_EQ(m_filter->BuildPinFormat(1).audio.sample_rate, 48000);
    EXPECT_EQ(m_filter->BuildPinFormat(0).codec, 11);
}

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    close(s);
    return ntohs(a.sin_port);
}

TEST_F(WriterFilter, ConnectFailureClosesUnlessStartingWithoutConnection) {
    Create();
    const int port = FreePort();
    ASSERT_GT(port, 0);
    const std::wstring url = L"rtmp://127.0.0.1:" + std::to_wstring(port) + L"/live/s";
    CComPtr<IFileSinkFilter> file;
    ASSERT_EQ(m_filter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&file)), S_OK);
    ASSERT_EQ(file->SetFileName(url.c_str(), nullptr), S_OK);
    ASSERT_EQ(m_options->SetReconnectAttempts(0), S_OK);
    EXPECT_EQ(m_options->ConnectServer(), E_FAIL);
    EXPECT_TRUE(m_filter->ConnectFailed()) << "the pins answer S_FALSE until the graph stops";
    EXPECT_FALSE(m_filter->SinkInited());
    EXPECT_EQ(Get(CODECAPI_QV_Connected).boolVal, VARIANT_FALSE);
    EXPECT_EQ(m_filter->Stop(), S_OK);
    EXPECT_FALSE(m_filter->ConnectFailed()) << "a stop clears the failure";

    ASSERT_EQ(SetBool(CODECAPI_QV_StartWithoutConnection, true), S_OK);
    EXPECT_EQ(SetI4(CODECAPI_QV_ConnectServer, 0), S_OK);
    EXPECT_FALSE(m_filter->ConnectFailed());
    EXPECT_EQ(SetI4(CODECAPI_QV_Disconnect, 0), S_OK);
}

}  // namespace
