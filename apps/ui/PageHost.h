#pragma once
// Hosts the writer's property page the way a property frame does: the page's class from the
// filter's ISpecifyPropertyPages, created through the module's class factory, given a site, the
// filter as its object, and activated in a DialogModel that the web page shows. Close undoes it
// in the reverse order. Open and Close run on the run's main thread while no web request is
// served; Apply and the model may be used from any thread in between.
#include <string>

#include "platform/com/ComPtr.h"
#include "platform/dshow/Interfaces.h"
#include "platform/ui/DialogModel.h"
#include "platform/ui/PropertyPage.h"

namespace app::ui {

class PageSite;

class PageHost {
public:
    PageHost();
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    // The reason in one line when there is no page to show; empty when it is open.
    std::string Open(IBaseFilter* filter, const std::string& modulePath);
    void Close();
    bool IsOpen() const { return static_cast<bool>(m_page); }
    ::ui::DialogModel& Model() { return m_model; }
    // The page's title (from its page information, else its dialog).
    std::string Title() const;
    // IPropertyPage::Apply with no dialog message in flight; the dirty flag is taken from the
    // page afterwards.
    HRESULT Apply();

private:
    ::ui::DialogModel m_model;
    CComPtr<PageSite> m_site;
    CComPtr<IPropertyPage> m_page;
    std::string m_title;
};

}  // namespace app::ui
