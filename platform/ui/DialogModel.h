#pragma once
// The host's side of a page's dialog: the parent it is created in and the window it becomes. The
// controls of the template live here as plain values (text, check state, visibility) that any
// thread may read and write; every change gets a sequence number so that a viewer (the web page's
// event stream) can wait for what changed since it last looked. The user's side (a browser) sets
// texts and checks and clicks buttons through the model, which stores the value and then sends the
// page's procedure the WM_COMMAND a dialog would send, one message at a time, as a dialog's single
// window thread would.
//
// The text of a password item is kept for the page (GetItemText) but never leaves through the
// viewer's side: states and changes carry only whether it is set.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/Dialog.h"

namespace ui {

// One control as a viewer sees it. Texts are UTF-8.
struct ControlState {
    int id = 0;
    ControlKind kind = ControlKind::Text;
    std::string label;
    std::optional<std::string> unit, group;
    bool password = false;
    std::string text;   // always empty for a password item
    bool set = false;   // password item: it holds a text
    bool checked = false;
    bool visible = true;
};

struct DialogState {
    bool open = false;  // a dialog exists and takes messages
    std::string title;
    bool dirty = false;
    uint64_t sequence = 0;  // of the latest change
    std::vector<ControlState> controls;  // in template order
};

// What changed after a given sequence number.
struct DialogChanges {
    uint64_t sequence = 0;              // pass this to the next wait
    std::vector<ControlState> controls; // those changed, in template order
    bool dirtyChanged = false;
    bool dirty = false;
    bool closed = false;                // the dialog went (or a new one replaced it: reload the state)
};

class DialogModel final : public IDialogParent, public IDialogWindow {
public:
    enum class Result { Ok, NoDialog, UnknownControl, WrongKind };

    DialogModel() = default;
    ~DialogModel();
    DialogModel(const DialogModel&) = delete;
    DialogModel& operator=(const DialogModel&) = delete;

    // IDialogParent. One dialog at a time: null while one is open.
    IDialogWindow* CreateDialogFromTemplate(const DialogTemplate& dialog, IDialogProc* proc) override;

    // IDialogWindow, for the page.
    BOOL SetItemText(int id, LPCWSTR text) override;
    UINT GetItemText(int id, LPWSTR buffer, int max) override;
    BOOL CheckButton(int id, UINT state) override;
    UINT IsButtonChecked(int id) override;
    BOOL IsItemVisible(int id) override;
    void Destroy() override;

    // The viewer's side.
    DialogState State() const;
    // Waits at most `timeout` for a change after `since`; an empty result (same sequence) when none came.
    DialogChanges WaitForChanges(uint64_t since, std::chrono::milliseconds timeout) const;
    // The page's dirty flag as its site last reported it (the Apply button of a property frame).
    void SetDirty(bool dirty);

    // The user's side: store, then send the procedure WM_COMMAND with EN_CHANGE (edits) or
    // BN_CLICKED (check boxes, buttons).
    Result UserSetText(int id, std::string_view utf8);
    Result UserSetCheck(int id, bool checked);
    Result UserClick(int id);
    // Runs `f` with no message in flight to the procedure; what the host calls on the page itself
    // (Apply) goes through here so that the page has one caller at a time. NoDialog when none is open.
    Result RunExclusive(const std::function<void()>& f);

private:
    struct Control {
        ControlState state;
        std::string secret;   // a password item's text
        uint64_t changed = 0; // sequence of its last change
    };
    Control* Find(int id);  // m_lock held
    const Control* Find(int id) const;
    void Touch(Control& c);  // m_lock held: a new sequence for c, waiters woken
    ControlState View(const Control& c) const;
    Result Route(int id, UINT notification);  // m_routeLock held

    // Serializes the messages to the procedure (and RunExclusive), as a dialog's one window
    // thread would. Taken by the user's side and by Destroy; recursive because the procedure may
    // destroy the dialog, or act as the user, from inside a message. Outer to m_lock.
    std::recursive_mutex m_routeLock;
    IDialogProc* m_proc = nullptr;  // written under both locks, read under either

    // Guards every field below. Taken by the page's threads (its refresh thread writes labels), the
    // user's side and the viewers. Innermost: the procedure is never called while it is held.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;  // m_sequence moved or the dialog closed
    bool m_open = false;
    std::string m_title;
    std::vector<Control> m_controls;
    uint64_t m_sequence = 0;
    uint64_t m_dirtyChanged = 0;
    uint64_t m_opened = 0;  // sequence of the dialog's creation
    uint64_t m_closed = 0;  // sequence of its end
    bool m_dirty = false;
};

}  // namespace ui
