// The writer filter's property page over a recording dialog and the real filter: the dialog's
// controls, the controls filled from the options and applied back, the live figures, the
// buttons, the dirty state, the end of the refresh thread, and the page's class in the module.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "filter/CodecApiKeys.h"
#include "filter/ModuleLoader.h"
#include "filter/RTMPSinkProperties.h"
#include "filter/Renderer.h"
#include "platform/com/TaskMem.h"
#include "tests/platform/TempSettings.h"

namespace {

using namespace std::chrono_literals;

// What a fake shares with the test: one lock, and bounded waits on what is under it.
struct Guarded {
    template <class F>
    auto Locked(F f) { std::lock_guard g(m); return f(); }
    bool WaitUntil(const std::function<bool()>& done) { std::unique_lock g(m); return cv.wait_for(g, 3s, done); }
    std::mutex m;  // guards the deriving fake's state: the page's refresh thread and the test share it
    std::condition_variable cv;
};

// The host's side: the page's site and its dialog, which keeps each control's text and check
// state; it also plays the user.
class FakeDialog final : public IDialogWindow, public IDialogParent, public IPropertyPageSite, public Guarded {
public:
    struct Control { std::wstring text; UINT check = BST_UNCHECKED; int writes = 0; };

    IDialogWindow* CreateDialogFromTemplate(const DialogTemplate& t, IDialogProc* p) override {
        Locked([&] { dialog = &t, proc = p, destroyed = false, controls.clear(); });
        initAnswer = p->OnDialogMessage(WM_INITDIALOG, 0, 0);
        return this;
    }
    BOOL SetItemText(int id, LPCWSTR text) override {
        Locked([&] { lateWrites += destroyed, controls[id].text = text, ++controls[id].writes; });
        cv.notify_all();
        return TRUE;
    }
    UINT GetItemText(int id, LPWSTR buffer, int max) override {
        const std::wstring t = Get(id).text.substr(0, static_cast<size_t>(max - 1));
        buffer[t.copy(buffer, t.size())] = 0;
        return static_cast<UINT>(t.size());
    }
    BOOL CheckButton(int id, UINT state) override { return Locked([&] { return controls[id].check = state, TRUE; }); }
    UINT IsButtonChecked(int id) override { return Get(id).check; }
    BOOL IsItemVisible(int id) override { return hidden.count(id) ? FALSE : TRUE; }
    void Destroy() override { Locked([&] { destroyed = true; }); }
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT OnStatusChange(DWORD flags) override { return dirtyCalls += flags == PROPPAGESTATUS_DIRTY, S_OK; }

    // The user types into an edit, or clicks (without text; a check box toggles first, as Win32's do).
    void Use(int id, const wchar_t* typed = nullptr, bool checkBox = true) {
        Locked([&] { typed ? void(controls[id].text = typed) : void(controls[id].check ^= checkBox); });
        proc->OnDialogMessage(WM_COMMAND, MakeCommandParam(id, typed ? EN_CHANGE : BN_CLICKED), 0);
    }
    Control Get(int id) { return Locked([&] { return controls[id]; }); }

    std::map<int, Control> controls;
    const DialogTemplate* dialog = nullptr;
    IDialogProc* proc = nullptr;
    bool destroyed = false;
    int lateWrites = 0;    // writes after Destroy
    std::set<int> hidden;  // set before activation
    INT_PTR initAnswer = 0;
    int refs = 0, dirtyCalls = 0;  // as the site
};

// The filter's codec API as the page sees it: forwards to the filter, records the keys set, and
// can stand in figures, tick the video bitrate on every read, or fail every read. The commands
// are recorded only: there is no server to connect to. It lives on the test's stack.
class CodecSpy final : public ICodecAPI, public Guarded {
public:
    explicit CodecSpy(CRenderer* f) : filter(f) { f->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&real)); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_ICodecAPI) return *ppv = this, S_OK;
        return filter->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetValue(const GUID* key, VARIANT* v) override {
        std::lock_guard<std::mutex> g(m);
        reads += *key == CODECAPI_QV_Connected;
        cv.notify_all();
        if (failReads) return ++failedReads, E_FAIL;
        if (ticking && *key == CODECAPI_QV_VideoBitrate) return v->vt = VT_I4, v->lVal = ++tick, S_OK;
        if (auto f = figures.find(GuidToString(*key)); f != figures.end())
            return v->vt = *key == CODECAPI_QV_Connected ? VT_BOOL : VT_I4, v->lVal = f->second, S_OK;
        return real->GetValue(key, v);
    }
    HRESULT SetValue(const GUID* key, VARIANT* v) override {
        std::lock_guard<std::mutex> g(m);
        set.push_back(*key);
        if (*key != CODECAPI_QV_ConnectServer && *key != CODECAPI_QV_Disconnect) return real->SetValue(key, v);
        commands.push_back(GuidToString(*key) + " vt " + std::to_string(v->vt) + " " + std::to_string(v->lVal));
        return S_OK;
    }
    // Until `more` refresh rounds have read the connection state (or a read has failed).
    bool WaitReads(int more) {
        const int target = Reads() + more;
        return WaitUntil([&] { return reads >= target || failedReads > 0; });
    }
    int Reads() { return Locked([&] { return reads; }); }
#define QV_UNUSED(...) HRESULT __VA_ARGS__ override { return E_NOTIMPL; }
    QV_UNUSED(IsSupported(const GUID*)) QV_UNUSED(IsModifiable(const GUID*)) QV_UNUSED(SetAllDefaults())
    QV_UNUSED(GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*))
    QV_UNUSED(GetParameterValues(const GUID*, VARIANT**, ULONG*)) QV_UNUSED(GetDefaultValue(const GUID*, VARIANT*))
    QV_UNUSED(RegisterForEvent(const GUID*, LONG_PTR)) QV_UNUSED(UnregisterForEvent(const GUID*))
    QV_UNUSED(SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*)) QV_UNUSED(GetAllSettings(IStream*))
    QV_UNUSED(SetAllDefaultsWithNotify(GUID**, ULONG*)) QV_UNUSED(SetAllSettings(IStream*))
    QV_UNUSED(SetAllSettingsWithNotify(IStream*, GUID**, ULONG*))
#undef QV_UNUSED

    CRenderer* filter;
    CComPtr<ICodecAPI> real;
    std::map<std::string, int32_t> figures;  // by key
    std::vector<GUID> set;
    std::vector<std::string> commands;
    bool failReads = false, ticking = false;
    int reads = 0, failedReads = 0;
    int32_t tick = 0;
};

class PropertyPage : public ::testing::Test {
protected:
    void SetUp() override {
        HRESULT hr = S_OK;
        CUnknown* f = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_TRUE(f && hr == S_OK);
        f->NonDelegatingAddRef();
        filter = static_cast<CRenderer*>(f);
        spy = std::make_unique<CodecSpy>(filter);
        CUnknown* p = CRTMPSinkProperties::CreateInstance(nullptr, &hr);
        ASSERT_TRUE(p && hr == S_OK);
        ASSERT_EQ(p->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
        ASSERT_EQ(page->SetPageSite(&dlg), S_OK);
        IUnknown* object = spy.get();
        ASSERT_EQ(page->SetObjects(1, &object), S_OK);
    }
    void TearDown() override {  // as a host ends with a page
        if (page) {
            if (dlg.dialog && !dlg.destroyed) page->Deactivate();
            EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
            EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
            page->Release();
        }
        EXPECT_EQ(dlg.refs, 0) << "the site is released";
        spy.reset();
        if (filter) filter->Release();
    }
    void Activate() { ASSERT_EQ(page->Activate(&dlg, nullptr, FALSE), S_OK); }
    // A refresh round writes the status last, so every figure of that round is in by then.
    bool StatusIs(const std::wstring& s) { return dlg.WaitUntil([&] { return dlg.controls[1026].text == s; }); }
    static std::wstring Text(LPWSTR s) {  // and frees it
        const std::wstring t = s ? s : L"(null)";
        return CoTaskMemFree(s), t;
    }
    // An option read through one of the filter's own interfaces, as text.
    template <class I, class T>
    std::wstring Read(HRESULT (I::*get)(T*)) {
        T x{};
        if ((static_cast<I*>(filter)->*get)(&x) != S_OK) return L"failed";
        if constexpr (std::is_same_v<T, LPWSTR>) return Text(x);
        else return std::to_wstring(x);
    }
    std::wstring Codec(const GUID& key) {  // for the options no typed getter reads
        VARIANT v;
        if (spy->real->GetValue(&key, &v) != S_OK) return L"failed";
        return std::to_wstring(v.vt == VT_BOOL ? v.boolVal != 0 : v.lVal);
    }

    qvtest::TempSettings settings;
    CRenderer* filter = nullptr;
    std::unique_ptr<CodecSpy> spy;
    FakeDialog dlg;
    IPropertyPage* page = nullptr;
};

// Each control as "<id> <kind> <label>[ <unit>][ [<group>]][ password]".
std::vector<std::wstring> Describe(std::span<const DialogItem> items) {
    const wchar_t* kinds[] = {L"edit", L"button", L"check", L"text"};
    std::vector<std::wstring> out;
    for (const DialogItem& i : items)
        out.push_back(std::to_wstring(i.id) + L" " + kinds[static_cast<int>(i.kind)] + L" " + i.label +
                      (i.unit ? L" " + std::wstring(i.unit) : L"") +
                      (i.group ? L" [" + std::wstring(i.group) + L"]" : L"") + (i.password ? L" password" : L""));
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(PropertyPage, DialogHasEveryControlWithItsKindLabelUnitAndGroupAndShowsTheStoppedFilter) {
    std::vector<std::wstring> want = {
        L"1001 edit RTMP URL:", L"1024 button Connect", L"1025 button Disconnect", L"1026 text Status:",
        L"1002 edit Output Buffer Size: bytes", L"1013 edit Output Packet Size: bytes", L"1003 check Live Mode",
        L"1004 check Allow B Frames", L"1014 check Write Timecode", L"1017 check TCP No Delay",
        L"1029 check Passthrough Padding", L"1015 edit First Timecode:", L"1016 check Embed System Time as Timecode",
        L"1018 edit Socket Buffer Size: bytes", L"1027 edit Send: [Timeout]", L"1028 edit Receive: [Timeout]",
        L"1019 check Use Authentication", L"1020 edit Username:", L"1021 edit Password: password",
        L"1022 edit Attempts: [Reconnect:]", L"1023 edit Interval: [Reconnect:]",
        L"1005 text Output Buffer Size: [Statistics:]", L"1006 text Output Buffer Fillness: [Statistics:]",
        L"1007 text Output Bitrate: [Statistics:]", L"1009 text Buffered Audio Packets: [Statistics:]",
        L"1008 text Buffered Video Packets: [Statistics:]", L"1010 text Audio Bitrate: [Statistics:]",
        L"1011 text Video Bitrate: [Statistics:]"};
    std::sort(want.begin(), want.end());
    Activate();
    EXPECT_EQ(dlg.initAnswer, TRUE);
    const DialogTemplate& d = *dlg.dialog;
    EXPECT_EQ(Describe(d.items), want);
    EXPECT_EQ(std::wstring(d.title) + L"/" + d.font, L"RTMP Network Writer Property Page/MS Shell Dlg");
    EXPECT_EQ(std::vector<int>({d.resourceId, d.fontSize, d.width, d.height}), std::vector<int>({101, 8, 201, 342}));
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(Text(info.pszTitle), L"RTMP Network Writer Property Page");
    EXPECT_EQ(std::vector<int>({info.width, info.height}), std::vector<int>({201, 342}));

    // A stopped filter's figures read 0 (its getters leave them alone), not the no-data mark.
    ASSERT_TRUE(StatusIs(L"Not Connected"));
    for (int id : {1006, 1007, 1008, 1009, 1010, 1011}) EXPECT_EQ(dlg.Get(id).text, L"0") << id;
    EXPECT_EQ(dlg.Get(1005).text, L"262144") << "the configured output buffer size";
    EXPECT_EQ(dlg.Get(1019).check, BST_UNCHECKED) << "no user name, no authentication";
}

TEST_F(PropertyPage, ActivateFillsEachControlFromItsOption) {
    CRenderer& f = *filter;
    for (HRESULT hr : {f.SetFileName(L"rtmp://example.com/live/key", nullptr), f.SetOutputBufferSize(500000),
                       f.SetOutputPacketSize(1300), f.SetSocketBufferSize(65536), f.SetUserName(L"alice"),
                       f.SetPassword(L"s3cret"), f.SetReconnectAttempts(-1), f.SetReconnectInterval(2500),
                       f.SetFirstTimecode(3600)})
        ASSERT_EQ(hr, S_OK);
    for (auto [key, x] : {std::pair{&CODECAPI_QV_SendTimeout, 7000}, {&CODECAPI_QV_ReceiveTimeout, 9000}}) {
        VARIANT v;
        v.vt = VT_I4, v.lVal = x;
        ASSERT_EQ(f.SetValue(key, &v), S_OK) << "no typed setter for these";
    }
    Activate();
    const std::pair<int, std::wstring> want[] = {
        {1001, L"rtmp://example.com/live/key"}, {1002, L"500000"}, {1013, L"1300"}, {1018, L"65536"},
        {1015, L"3600"}, {1027, L"7000"}, {1028, L"9000"}, {1020, L"alice"}, {1021, L"s3cret"}, {1022, L"-1"},
        {1023, L"2500"}, {1019, L"[x]"} /* a user name: authentication */};
    for (const auto& [id, text] : want) {
        const FakeDialog::Control c = dlg.Get(id);
        EXPECT_EQ(text[0] == L'[' ? (c.check == BST_CHECKED ? L"[x]" : L"[ ]") : c.text, text) << id;
    }
}

// Each row: what the user does to a control (types the text, or clicks when there is none) and
// the option read back through the filter's own interfaces. Unchecking authentication then
// clears the user name.
TEST_F(PropertyPage, ButtonsSendTheirCommandsAndApplyWritesEveryControlInOrder) {
    Activate();
    dlg.Use(1024, nullptr, false);
    dlg.Use(1025, nullptr, false);
    EXPECT_EQ(spy->commands, std::vector<std::string>({GuidToString(CODECAPI_QV_ConnectServer) + " vt 3 0",
                                                       GuidToString(CODECAPI_QV_Disconnect) + " vt 3 0"}));
    EXPECT_EQ(page->IsPageDirty(), S_FALSE) << "a button changes no option";
    spy->set.clear();
    using O = IRTMPOptions;
    using T = ITimecode;
    const auto url = [&] {
        LPOLESTR u = nullptr;
        return filter->GetCurFile(&u, nullptr) == S_OK ? Text(u) : L"failed";
    };
    const struct {
        int id;
        const wchar_t* typed;
        std::function<std::wstring()> read;
        std::wstring want;
    } rows[] = {
        {1001, L"rtmp://127.0.0.1/app/key", url, L"rtmp://127.0.0.1/app/key"},
        {1002, L"300000", [&] { return Read(&O::GetOutputBufferSize); }, L"300000"},
        {1013, L"1400", [&] { return Read(&O::GetOutputPacketSize); }, L"1400"},
        {1019, nullptr, [&] { return Read(&O::GetUserName); }, L"bob"},
        {1020, L"bob", [&] { return Read(&O::GetUserName); }, L"bob"},
        {1021, L"pw", [&] { return Read(&O::GetPassword); }, L"pw"},
        {1018, L"32768", [&] { return Read(&O::GetSocketBufferSize); }, L"32768"},
        {1015, L"10", [&] { return Read(&T::GetFirstTimecode); }, L"10"},
        {1022, L"3", [&] { return Read(&O::GetReconnectAttempts); }, L"3"},
        {1023, L"1500", [&] { return Read(&O::GetReconnectInterval); }, L"1500"},
        {1027, L"2000", [&] { return Codec(CODECAPI_QV_SendTimeout); }, L"2000"},
        {1028, L"4000", [&] { return Codec(CODECAPI_QV_ReceiveTimeout); }, L"4000"},
    };
    for (const auto& r : rows) dlg.Use(r.id, r.typed);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    EXPECT_EQ(dlg.dirtyCalls, static_cast<int>(std::size(rows))) << "every change tells the site";
    ASSERT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    for (const auto& r : rows) EXPECT_EQ(r.read(), r.want) << r.id;
    const std::vector<GUID> order = {
        CODECAPI_QV_OutputBufferSize, CODECAPI_QV_OutputPacketSize, CODECAPI_QV_AllowBFrames,
        CODECAPI_QV_WriteTimecode, CODECAPI_QV_EmbedSystemTime, CODECAPI_QV_TcpNoDelay,
        CODECAPI_QV_PassthroughPadding, CODECAPI_QV_UserName, CODECAPI_QV_Password,
        CODECAPI_QV_SocketBufferSize, CODECAPI_QV_FirstTimecode, CODECAPI_QV_ReconnectAttempts,
        CODECAPI_QV_ReconnectInterval, CODECAPI_QV_SendTimeout, CODECAPI_QV_ReceiveTimeout};
    EXPECT_EQ(spy->set, order);

    dlg.Use(1019);
    ASSERT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(Read(&O::GetUserName), L"");
    EXPECT_EQ(Read(&O::GetPassword), L"pw") << "only the name goes";
    EXPECT_EQ(std::count(spy->set.begin(), spy->set.end(), CODECAPI_QV_Password), 1);
}

// Each round shows one option on and the others off, then the user moves the check to the next
// box and applies: only that box's option is on, so no box shows or sets another's option.
TEST_F(PropertyPage, EachCheckBoxShowsAndAppliesItsOwnOption) {
    const std::pair<int, const GUID*> boxes[] = {
        {1003, nullptr /* live mode: ISinkMode */}, {1004, &CODECAPI_QV_AllowBFrames}, {1014, &CODECAPI_QV_WriteTimecode},
        {1016, &CODECAPI_QV_EmbedSystemTime}, {1017, &CODECAPI_QV_TcpNoDelay}, {1029, &CODECAPI_QV_PassthroughPadding}};
    auto set = [&](const GUID* key, bool on) {
        VARIANT v;
        v.vt = VT_BOOL, v.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
        return key ? filter->SetValue(key, &v) : filter->SetLiveMode(on);
    };
    auto read = [&](const GUID* key) { return key ? Codec(*key) : Read(&ISinkMode::GetLiveMode); };
    const size_t n = std::size(boxes);
    for (size_t on = 0; on < n; ++on) {
        SCOPED_TRACE(boxes[on].first);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(set(boxes[i].second, i == on), S_OK);
        Activate();
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(dlg.Get(boxes[i].first).check, i == on ? 1u : 0u) << boxes[i].first;
        const size_t next = (on + 1) % n;
        dlg.Use(boxes[on].first);
        dlg.Use(boxes[next].first);
        ASSERT_EQ(page->Apply(), S_OK);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(read(boxes[i].second), i == next ? L"1" : L"0") << boxes[i].first;
        ASSERT_EQ(page->Deactivate(), S_OK);
    }
}

// A field that is no whole number changes nothing; a value the filter refuses is its answer.
TEST_F(PropertyPage, ApplyRefusesTextThatIsNoNumberAndReportsAValueTheFilterRefuses) {
    Activate();
    const std::pair<std::wstring, HRESULT> rows[] = {
        {L"12x", E_INVALIDARG}, {L"", E_INVALIDARG}, {L"1.5", E_INVALIDARG}, {L"99999999999", E_INVALIDARG},
        {L"104857601", E_UNEXPECTED}, {L" 4096 ", S_OK}};
    for (const auto& [text, hr] : rows) {
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        spy->set.clear();
        dlg.Use(1002, text.c_str());
        EXPECT_EQ(page->Apply(), hr);
        EXPECT_EQ(page->IsPageDirty(), hr == S_OK ? S_FALSE : S_OK) << "a failed apply stays to be done";
        EXPECT_EQ(spy->set.size(), hr == E_INVALIDARG ? 0u : 14u) << "without authentication, no password";
    }
    EXPECT_EQ(Read(&IRTMPOptions::GetOutputBufferSize), L"4096");
}

TEST_F(PropertyPage, FiguresShowNoDataAsNAAndOnlyChangedVisibleLabelsAreWritten) {
    for (const GUID* k : {&CODECAPI_QV_OutputBufferSize, &CODECAPI_QV_OutputBufferFillness, &CODECAPI_QV_OutputBitrate,
                          &CODECAPI_QV_BufferedVideoPackets, &CODECAPI_QV_BufferedAudioPackets,
                          &CODECAPI_QV_AudioBitrate, &CODECAPI_QV_VideoBitrate})
        spy->figures[GuidToString(*k)] = 2147483647;
    spy->figures[GuidToString(CODECAPI_QV_Connected)] = 0;
    dlg.hidden = {1006};
    Activate();
    ASSERT_TRUE(StatusIs(L"Not Connected"));
    for (int id : {1005, 1007, 1008, 1009, 1010, 1011}) EXPECT_EQ(dlg.Get(id).text, L"N/A") << id;
    EXPECT_EQ(dlg.Get(1006).writes, 0) << "a hidden label is left alone";

    spy->Locked([&] {
        spy->figures[GuidToString(CODECAPI_QV_VideoBitrate)] = 2950000;
        spy->figures[GuidToString(CODECAPI_QV_BufferedAudioPackets)] = 12;
        spy->figures[GuidToString(CODECAPI_QV_Connected)] = -1;
    });
    ASSERT_TRUE(StatusIs(L"Connected"));
    ASSERT_TRUE(spy->WaitReads(3));
    const std::pair<int, std::pair<std::wstring, int>> want[] = {
        {1011, {L"2950000", 2}}, {1009, {L"12", 2}}, {1010, {L"N/A", 1}}, {1026, {L"Connected", 2}}};
    for (const auto& [id, w] : want) {
        const FakeDialog::Control c = dlg.Get(id);
        EXPECT_EQ(std::pair(c.text, c.writes), w) << id;
    }
}

// Absences are what is judged here, so the test watches for a few refresh periods each time.
TEST_F(PropertyPage, RefreshThreadEndsOnAFailedReadAndIsStoppedByDeactivate) {
    Activate();
    spy->Locked([&] { spy->failReads = true; });
    ASSERT_TRUE(spy->WaitReads(1'000'000));
    const int readsAtFailure = spy->Reads();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(spy->Reads(), readsAtFailure) << "no read after the failed one";
    ASSERT_EQ(page->Deactivate(), S_OK);

    spy->Locked([&] { spy->failReads = false, spy->failedReads = 0, spy->ticking = true; });
    Activate();
    ASSERT_TRUE(dlg.WaitUntil([&] { return dlg.controls[1011].writes >= 3; })) << "the page can be activated again";
    ASSERT_EQ(page->Deactivate(), S_OK);
    const int reads = spy->Reads();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(std::pair(spy->Reads(), dlg.lateWrites), std::pair(reads, 0)) << "no read, no write after Deactivate";
    EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
}

TEST_F(PropertyPage, FilterNamesThePageAndTheModuleCreatesIt) {
    CAUUID pages{};
    ASSERT_EQ(filter->GetPages(&pages), S_OK);
    ASSERT_EQ(pages.cElems, 1u);
    EXPECT_EQ(pages.pElems[0], CLSID_QuorvelRTMPWriterPropertyPage);
    CoTaskMemFree(pages.pElems);

    IPropertyPage* fromModule = nullptr;
    ASSERT_EQ(modules::CreateInstanceFromModule(QV_WRITER_MODULE, CLSID_QuorvelRTMPWriterPropertyPage, nullptr,
                                                IID_IPropertyPage, reinterpret_cast<void**>(&fromModule)),
              S_OK);
    EXPECT_EQ(fromModule->Activate(&dlg, nullptr, FALSE), E_UNEXPECTED) << "nothing to edit yet";
    fromModule->Release();
}

}  // namespace
