#include "platform/ui/BasePropertyPage.h"

#include <cstring>
#include <cwchar>

#include "platform/com/TaskMem.h"

namespace {
// The show commands a page accepts (Win32's values).
constexpr UINT SW_HIDE = 0;
constexpr UINT SW_SHOWNORMAL = 1;
constexpr UINT SW_SHOW = 5;
}  // namespace

CBasePropertyPage::CBasePropertyPage(const wchar_t* name, IUnknown* pUnk, const DialogTemplate& dialog)
    : CUnknown(name, pUnk), m_Template(dialog) {}

CBasePropertyPage::~CBasePropertyPage() {
    if (m_pPageSite) m_pPageSite->Release();
}

HRESULT CBasePropertyPage::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPropertyPage) return GetInterface(static_cast<IPropertyPage*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
    // The message path tells the site about changes, so it stays while the dialog exists.
    if (m_Dlg) return E_UNEXPECTED;
    if (site) {
        if (m_pPageSite) return E_UNEXPECTED;
        m_pPageSite = site;
        m_pPageSite->AddRef();
    } else {
        if (!m_pPageSite) return E_UNEXPECTED;
        m_pPageSite->Release();
        m_pPageSite = nullptr;
    }
    return S_OK;
}

// The rectangle is the host's layout business: its dialog places the controls itself.
HRESULT CBasePropertyPage::Activate(IDialogParent* parent, const void*, BOOL) {
    if (!parent) return E_POINTER;
    if (!m_bObjectSet || m_Dlg) return E_UNEXPECTED;
    IDialogWindow* dlg = parent->CreateDialogFromTemplate(m_Template, this);
    if (!dlg) return E_OUTOFMEMORY;
    m_Dlg = dlg;
    const HRESULT hr = OnActivate();
    if (FAILED(hr)) {
        m_Dlg->Destroy();
        m_Dlg = nullptr;
    }
    return hr;
}

HRESULT CBasePropertyPage::Deactivate() {
    if (!m_Dlg) return E_UNEXPECTED;
    OnDeactivate();
    m_Dlg->Destroy();
    m_Dlg = nullptr;
    return S_OK;
}

HRESULT CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
    if (!info) return E_POINTER;
    const wchar_t* title = m_Template.title ? m_Template.title : L"";
    const size_t bytes = (std::wcslen(title) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, title, bytes);
    info->cb = sizeof(PROPPAGEINFO);
    info->pszTitle = copy;
    info->width = m_Template.width;
    info->height = m_Template.height;
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return S_OK;
}

HRESULT CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
    // The page's workers use the objects while the dialog exists; they change only around it.
    if (m_Dlg) return E_UNEXPECTED;
    if (count == 1) {
        if (!objects || !objects[0]) return E_POINTER;
        const HRESULT hr = OnConnect(objects[0]);
        m_bObjectSet = SUCCEEDED(hr);
        return hr;
    }
    if (count == 0) {
        m_bObjectSet = false;
        return OnDisconnect();
    }
    return E_UNEXPECTED;  // a page edits one filter
}

HRESULT CBasePropertyPage::Show(UINT cmdShow) {
    if (!m_Dlg) return E_UNEXPECTED;
    if (cmdShow != SW_HIDE && cmdShow != SW_SHOWNORMAL && cmdShow != SW_SHOW) return E_INVALIDARG;
    return S_OK;
}

HRESULT CBasePropertyPage::Move(const void* rect) {
    if (!rect) return E_POINTER;
    if (!m_Dlg) return E_UNEXPECTED;
    return S_OK;
}

HRESULT CBasePropertyPage::IsPageDirty() { return m_bDirty.load() ? S_OK : S_FALSE; }

HRESULT CBasePropertyPage::Apply() {
    if (!m_bObjectSet) return E_UNEXPECTED;
    // Cleared before the changes are read: an edit that arrives while they are being applied
    // marks the page dirty again instead of being lost.
    if (!m_bDirty.exchange(false)) return S_OK;
    const HRESULT hr = OnApplyChanges();
    if (FAILED(hr)) m_bDirty = true;
    return hr;
}

HRESULT CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

HRESULT CBasePropertyPage::TranslateAccelerator(void*) { return E_NOTIMPL; }

INT_PTR CBasePropertyPage::OnReceiveMessage(UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

void CBasePropertyPage::SetDirty() {
    m_bDirty = true;
    if (m_pPageSite) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

INT_PTR CBasePropertyPage::OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return OnReceiveMessage(message, wParam, lParam);
}
