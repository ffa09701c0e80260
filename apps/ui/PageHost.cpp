#include "apps/ui/PageHost.h"

#include <cstdio>

#include "filter/ModuleLoader.h"
#include "foundation/TextConvert.h"
#include "platform/com/TaskMem.h"
#include "platform/dshow/Uuids.h"

namespace app::ui {

// The page's site: it hears the page say it is dirty and shows it as the model's dirty flag.
class PageSite final : public IPropertyPageSite, public CUnknown {
public:
    static PageSite* Create(::ui::DialogModel* model) {
        auto* s = new PageSite(model);
        s->NonDelegatingAddRef();
        return s;
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IPropertyPageSite) return GetInterface(static_cast<IPropertyPageSite*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT OnStatusChange(DWORD flags) override {
        if (::ui::DialogModel* m = m_model.load(); m && (flags & PROPPAGESTATUS_DIRTY)) m->SetDirty(true);
        return S_OK;
    }
    // A page that keeps the site past Close finds it deaf, not dangling.
    void Detach() { m_model.store(nullptr); }

private:
    explicit PageSite(::ui::DialogModel* model) : CUnknown(L"Property page site", nullptr), m_model(model) {}
    std::atomic<::ui::DialogModel*> m_model;
};

namespace {

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

}  // namespace

PageHost::PageHost() = default;

PageHost::~PageHost() { Close(); }

std::string PageHost::Open(IBaseFilter* filter, const std::string& modulePath) {
    CComPtr<IBaseFilter> f(filter);
    CComPtr<ISpecifyPropertyPages> pages;
    CAUUID ids{};
    if (FAILED(f.As(IID_ISpecifyPropertyPages, pages)) || FAILED(pages->GetPages(&ids)) || ids.cElems == 0) {
        CoTaskMemFree(ids.pElems);
        return "the writer names no property page";
    }
    const GUID clsid = ids.pElems[0];
    CoTaskMemFree(ids.pElems);

    IPropertyPage* raw = nullptr;
    HRESULT hr = modules::CreateInstanceFromModule(modulePath, clsid, nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&raw));
    if (FAILED(hr) || !raw) return "the writer's property page cannot be created (" + Hex(hr) + ")";
    CComPtr<IPropertyPage> page = CComPtr<IPropertyPage>::Attach(raw);
    m_site = CComPtr<PageSite>::Attach(PageSite::Create(&m_model));
    IUnknown* objects[] = {filter};
    if (FAILED(hr = page->SetPageSite(m_site.get())) || FAILED(hr = page->SetObjects(1, objects))) {
        page->SetPageSite(nullptr);
        m_site->Detach();
        m_site.Release();
        return "the property page does not take the writer (" + Hex(hr) + ")";
    }
    PROPPAGEINFO info{};
    info.cb = sizeof info;
    if (SUCCEEDED(page->GetPageInfo(&info)) && info.pszTitle) m_title = WideToUtf8(info.pszTitle);
    for (LPOLESTR s : {info.pszTitle, info.pszDocString, info.pszHelpFile}) CoTaskMemFree(s);
    if (FAILED(hr = page->Activate(&m_model, nullptr, FALSE))) {
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
        m_site->Detach();
        m_site.Release();
        return "the property page did not open (" + Hex(hr) + ")";
    }
    m_page = std::move(page);
    return {};
}

void PageHost::Close() {
    if (m_page) {
        m_page->Deactivate();
        m_page->SetObjects(0, nullptr);
        m_page->SetPageSite(nullptr);
        m_page.Release();
    }
    // A page that did not destroy its dialog leaves no procedure behind.
    m_model.Destroy();
    if (m_site) m_site->Detach();
    m_site.Release();
}

std::string PageHost::Title() const {
    if (!m_title.empty()) return m_title;
    return m_model.State().title;
}

HRESULT PageHost::Apply() {
    if (!m_page) return E_UNEXPECTED;
    HRESULT hr = E_UNEXPECTED;
    m_model.RunExclusive([&] {
        hr = m_page->Apply();
        m_model.SetDirty(m_page->IsPageDirty() == S_OK);
    });
    return hr;
}

}  // namespace app::ui
