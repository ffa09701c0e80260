#include "platform/ui/DialogModel.h"

#include <algorithm>
#include <cwchar>

#include "foundation/TextConvert.h"

namespace ui {
namespace {

std::optional<std::string> OptionalText(const wchar_t* text) {
    if (!text) return std::nullopt;
    return WideToUtf8(text);
}

}  // namespace

DialogModel::~DialogModel() = default;

IDialogWindow* DialogModel::CreateDialogFromTemplate(const DialogTemplate& dialog, IDialogProc* proc) {
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_open) return nullptr;
        m_controls.clear();
        m_opened = ++m_sequence;
        for (const DialogItem& item : dialog.items) {
            Control c;
            c.state.id = item.id;
            c.state.kind = item.kind;
            c.state.label = item.label ? WideToUtf8(item.label) : "";
            c.state.unit = OptionalText(item.unit);
            c.state.group = OptionalText(item.group);
            c.state.password = item.password;
            c.changed = m_opened;
            m_controls.push_back(std::move(c));
        }
        m_title = dialog.title ? WideToUtf8(dialog.title) : "";
        m_dirty = false;
        m_dirtyChanged = m_opened;
        m_proc = proc;
        m_open = true;
    }
    m_changed.notify_all();
    if (proc) proc->OnDialogMessage(WM_INITDIALOG, 0, 0);
    return this;
}

DialogModel::Control* DialogModel::Find(int id) {
    auto it = std::find_if(m_controls.begin(), m_controls.end(), [id](const Control& c) { return c.state.id == id; });
    return it == m_controls.end() ? nullptr : &*it;
}

const DialogModel::Control* DialogModel::Find(int id) const { return const_cast<DialogModel*>(this)->Find(id); }

void DialogModel::Touch(Control& c) {
    c.changed = ++m_sequence;
    m_changed.notify_all();
}

ControlState DialogModel::View(const Control& c) const {
    ControlState s = c.state;
    if (s.password) s.text.clear(), s.set = !c.secret.empty();
    return s;
}

BOOL DialogModel::SetItemText(int id, LPCWSTR text) {
    const std::string utf8 = text ? WideToUtf8(text) : "";
    std::lock_guard<std::mutex> g(m_lock);
    Control* c = m_open ? Find(id) : nullptr;
    if (!c) return FALSE;
    std::string& slot = c->state.password ? c->secret : c->state.text;
    if (slot != utf8) {
        slot = utf8;
        Touch(*c);
    }
    return TRUE;
}

UINT DialogModel::GetItemText(int id, LPWSTR buffer, int max) {
    if (!buffer || max <= 0) return 0;
    buffer[0] = L'\0';
    std::wstring text;
    {
        std::lock_guard<std::mutex> g(m_lock);
        const Control* c = m_open ? Find(id) : nullptr;
        if (!c) return 0;
        text = Utf8ToWide(c->state.password ? c->secret : c->state.text);
    }
    const size_t n = std::min(text.size(), static_cast<size_t>(max - 1));
    std::wmemcpy(buffer, text.data(), n);
    buffer[n] = L'\0';
    return static_cast<UINT>(n);
}

BOOL DialogModel::CheckButton(int id, UINT state) {
    std::lock_guard<std::mutex> g(m_lock);
    Control* c = m_open ? Find(id) : nullptr;
    if (!c) return FALSE;
    const bool checked = state != BST_UNCHECKED;
    if (c->state.checked != checked) {
        c->state.checked = checked;
        Touch(*c);
    }
    return TRUE;
}

UINT DialogModel::IsButtonChecked(int id) {
    std::lock_guard<std::mutex> g(m_lock);
    const Control* c = m_open ? Find(id) : nullptr;
    return c && c->state.checked ? BST_CHECKED : BST_UNCHECKED;
}

BOOL DialogModel::IsItemVisible(int id) {
    std::lock_guard<std::mutex> g(m_lock);
    const Control* c = m_open ? Find(id) : nullptr;
    return c && c->state.visible ? TRUE : FALSE;
}

void DialogModel::Destroy() {
    // Waits for a message in flight: none reaches the procedure once this returns.
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_open) return;
        m_open = false;
        m_proc = nullptr;
        m_controls.clear();
        m_closed = ++m_sequence;
    }
    m_changed.notify_all();
}

DialogState DialogModel::State() const {
    std::lock_guard<std::mutex> g(m_lock);
    DialogState s;
    s.open = m_open;
    s.title = m_title;
    s.dirty = m_dirty;
    s.sequence = m_sequence;
    for (const Control& c : m_controls) s.controls.push_back(View(c));
    return s;
}

DialogChanges DialogModel::WaitForChanges(uint64_t since, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(m_lock);
    m_changed.wait_for(g, timeout, [&] { return m_sequence > since; });
    DialogChanges d;
    d.sequence = m_sequence;
    if (m_sequence <= since) return d;
    // A dialog made or ended after `since` invalidates what the viewer holds.
    d.closed = m_closed > since || m_opened > since;
    for (const Control& c : m_controls)
        if (c.changed > since) d.controls.push_back(View(c));
    d.dirtyChanged = m_dirtyChanged > since;
    d.dirty = m_dirty;
    return d;
}

void DialogModel::SetDirty(bool dirty) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_dirty == dirty) return;
        m_dirty = dirty;
        m_dirtyChanged = ++m_sequence;
    }
    m_changed.notify_all();
}

DialogModel::Result DialogModel::Route(int id, UINT notification) {
    IDialogProc* proc = nullptr;
    {
        std::lock_guard<std::mutex> g(m_lock);
        proc = m_proc;
    }
    if (proc) proc->OnDialogMessage(WM_COMMAND, MakeCommandParam(id, notification), 0);
    return Result::Ok;
}

DialogModel::Result DialogModel::UserSetText(int id, std::string_view utf8) {
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_open) return Result::NoDialog;
        Control* c = Find(id);
        if (!c) return Result::UnknownControl;
        if (c->state.kind != ControlKind::Edit) return Result::WrongKind;
        std::string& slot = c->state.password ? c->secret : c->state.text;
        if (slot != utf8) {
            slot = std::string(utf8);
            Touch(*c);
        }
    }
    return Route(id, EN_CHANGE);
}

DialogModel::Result DialogModel::UserSetCheck(int id, bool checked) {
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_open) return Result::NoDialog;
        Control* c = Find(id);
        if (!c) return Result::UnknownControl;
        if (c->state.kind != ControlKind::CheckBox) return Result::WrongKind;
        if (c->state.checked != checked) {
            c->state.checked = checked;
            Touch(*c);
        }
    }
    return Route(id, BN_CLICKED);
}

DialogModel::Result DialogModel::UserClick(int id) {
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_open) return Result::NoDialog;
        const Control* c = Find(id);
        if (!c) return Result::UnknownControl;
        if (c->state.kind != ControlKind::Button) return Result::WrongKind;
    }
    return Route(id, BN_CLICKED);
}

DialogModel::Result DialogModel::RunExclusive(const std::function<void()>& f) {
    std::lock_guard<std::recursive_mutex> route(m_routeLock);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_open) return Result::NoDialog;
    }
    f();
    return Result::Ok;
}

}  // namespace ui
