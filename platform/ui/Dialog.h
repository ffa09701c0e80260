#pragma once
// The dialog layer the property page is written against, in place of Win32 dialogs: a dialog is
// a table of controls by identifier (kind, label, unit, group); the page sets and reads their
// text and check state through IDialogWindow, the way a Win32 page calls SetDlgItemText and
// IsDlgButtonChecked. The controls themselves live with the host that shows them (a web page
// here), so only these pure interfaces cross the module boundary.
#include <cstdint>
#include <span>

#include "platform/com/ComTypes.h"

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using INT_PTR = intptr_t;

// The window messages a page receives and sends; the values are Win32's.
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT BN_CLICKED = 0;
inline constexpr UINT EN_CHANGE = 0x0300;
inline constexpr UINT BST_UNCHECKED = 0;
inline constexpr UINT BST_CHECKED = 1;
// The low and high words of a WM_COMMAND's wParam: the control's identifier and the notification.
inline constexpr WPARAM MakeCommandParam(int id, UINT notification) {
    return (static_cast<WPARAM>(notification & 0xFFFF) << 16) | (static_cast<WPARAM>(id) & 0xFFFF);
}
inline constexpr int CommandId(WPARAM w) { return static_cast<int>(w & 0xFFFF); }
inline constexpr UINT CommandNotification(WPARAM w) { return static_cast<UINT>((w >> 16) & 0xFFFF); }

enum class ControlKind : uint8_t { Edit, Button, CheckBox, Text };

// One control of a dialog. label: shown before (or, for buttons and check boxes, on) the
// control; unit: shown after it ("bytes"), may be null; group: the frame it sits in, may be null.
// password: an edit whose text is never shown or sent back in clear.
struct DialogItem {
    int id;
    ControlKind kind;
    const wchar_t* label;
    const wchar_t* unit;
    const wchar_t* group;
    bool password = false;
};

struct DialogTemplate {
    int resourceId;
    const wchar_t* title;
    const wchar_t* font;
    int fontSize;
    int width, height;  // dialog units
    std::span<const DialogItem> items;
};

// What receives a dialog's messages: the page's dialog procedure.
struct IDialogProc {
    virtual INT_PTR OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~IDialogProc() = default;
};

// A dialog made from a template; any thread may call it (the refresh thread writes labels while
// the user edits). Text is copied in and out; the buffers stay the caller's.
struct IDialogWindow {
    virtual BOOL SetItemText(int id, LPCWSTR text) = 0;
    // Copies at most max - 1 characters and a terminator; returns the characters copied.
    virtual UINT GetItemText(int id, LPWSTR buffer, int max) = 0;
    virtual BOOL CheckButton(int id, UINT state) = 0;
    virtual UINT IsButtonChecked(int id) = 0;
    virtual BOOL IsItemVisible(int id) = 0;
    // Ends the dialog: no message reaches the procedure after it returns, and the window is gone.
    virtual void Destroy() = 0;

protected:
    ~IDialogWindow() = default;
};

// The parent a page's dialog is created in (a parent window): the host that shows the controls.
struct IDialogParent {
    // Creates the dialog, sends it WM_INITDIALOG and returns it; null when it cannot.
    virtual IDialogWindow* CreateDialogFromTemplate(const DialogTemplate& dialog, IDialogProc* proc) = 0;

protected:
    ~IDialogParent() = default;
};
