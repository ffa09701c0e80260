// The host's dialog model: what the user does reaches the page's procedure as the WM_COMMAND a
// dialog sends, after the value is stored; what the page writes reaches a waiting viewer as a
// change; a password's text stays with the page; a destroyed dialog takes no more messages.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/ui/DialogModel.h"

namespace {

using namespace std::chrono_literals;
using ui::DialogModel;
using Result = DialogModel::Result;

const DialogItem kItems[] = {
    {1, ControlKind::Edit, L"URL:", nullptr, nullptr},
    {2, ControlKind::Edit, L"Password:", nullptr, nullptr, true},
    {3, ControlKind::CheckBox, L"Live Mode", nullptr, nullptr},
    {4, ControlKind::Button, L"Connect", nullptr, nullptr},
    {5, ControlKind::Text, L"Bitrate:", L"bytes", L"Statistics:"},
};
const DialogTemplate kTemplate{101, L"Title", L"MS Shell Dlg", 8, 201, 342, kItems};

// Records what reaches it, with the stored value the page would read at that moment.
struct Recorder final : IDialogProc {
    struct Message {
        UINT message;
        int id;
        UINT notification;
        std::wstring text;
        bool operator==(const Message&) const = default;
    };
    IDialogWindow* window = nullptr;
    std::vector<Message> messages;
    std::function<void(int id)> onCommand;
    INT_PTR OnDialogMessage(UINT message, WPARAM w, LPARAM) override {
        wchar_t buf[64] = L"";
        if (message == WM_COMMAND && window) window->GetItemText(CommandId(w), buf, 64);
        messages.push_back({message, message == WM_COMMAND ? CommandId(w) : 0,
                            message == WM_COMMAND ? CommandNotification(w) : 0, buf});
        if (message == WM_COMMAND && onCommand) onCommand(CommandId(w));
        return message == WM_INITDIALOG;
    }
};

std::wstring Text(IDialogWindow* w, int id, int max = 64) {
    std::vector<wchar_t> buf(static_cast<size_t>(max), L'?');
    const UINT n = w->GetItemText(id, buf.data(), max);
    EXPECT_EQ(n, std::wcslen(buf.data()));
    return buf.data();
}

TEST(DialogModel, UserActionsAreStoredThenRoutedAsCommands) {
    DialogModel model;
    Recorder proc;
    IDialogWindow* w = model.CreateDialogFromTemplate(kTemplate, &proc);
    ASSERT_NE(w, nullptr);
    proc.window = w;
    EXPECT_EQ(model.CreateDialogFromTemplate(kTemplate, &proc), nullptr) << "one dialog at a time";
    ASSERT_EQ(proc.messages, (std::vector<Recorder::Message>{{WM_INITDIALOG, 0, 0, L""}}));
    proc.messages.clear();

    struct Row {
        std::function<Result()> act;
        Result result;
        std::vector<Recorder::Message> routed;
    };
    const std::vector<Row> rows{
        {[&] { return model.UserSetText(1, "rtmp://h/a/s"); }, Result::Ok, {{WM_COMMAND, 1, EN_CHANGE, L"rtmp://h/a/s"}}},
        {[&] { return model.UserSetText(2, "hunter2"); }, Result::Ok, {{WM_COMMAND, 2, EN_CHANGE, L"hunter2"}}},
        {[&] { return model.UserSetCheck(3, true); }, Result::Ok, {{WM_COMMAND, 3, BN_CLICKED, L""}}},
        {[&] { return model.UserClick(4); }, Result::Ok, {{WM_COMMAND, 4, BN_CLICKED, L""}}},
        {[&] { return model.UserClick(1); }, Result::WrongKind, {}},
        {[&] { return model.UserSetText(5, "x"); }, Result::WrongKind, {}},
        {[&] { return model.UserSetCheck(4, true); }, Result::WrongKind, {}},
        {[&] { return model.UserSetText(99, "x"); }, Result::UnknownControl, {}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        proc.messages.clear();
        EXPECT_EQ(rows[i].act(), rows[i].result);
        EXPECT_EQ(proc.messages, rows[i].routed);
    }
    EXPECT_EQ(w->IsButtonChecked(3), BST_CHECKED);
    EXPECT_TRUE(w->IsItemVisible(5));
    EXPECT_FALSE(w->IsItemVisible(99));
    // Cut to the buffer, terminated.
    EXPECT_EQ(Text(w, 1, 5), L"rtmp");
    w->Destroy();
}

TEST(DialogModel, AViewerWaitingForChangesGetsOnlyWhatChanged) {
    DialogModel model;
    Recorder proc;
    IDialogWindow* w = model.CreateDialogFromTemplate(kTemplate, &proc);
    const uint64_t start = model.State().sequence;
    EXPECT_EQ(model.WaitForChanges(start, 0ms).sequence, start);

    // The page's refresh thread writes a figure while the viewer waits.
    auto viewer = std::async(std::launch::async, [&] { return model.WaitForChanges(start, 10s); });
    std::thread refresh([&] { w->SetItemText(5, L"2950000"); });
    refresh.join();
    ASSERT_EQ(viewer.wait_for(10s), std::future_status::ready);
    ui::DialogChanges d = viewer.get();
    ASSERT_EQ(d.controls.size(), 1u);
    EXPECT_EQ(std::tie(d.controls[0].id, d.controls[0].text, d.controls[0].unit, d.controls[0].group),
              std::make_tuple(5, std::string("2950000"), std::optional<std::string>("bytes"),
                              std::optional<std::string>("Statistics:")));
    EXPECT_FALSE(d.dirtyChanged || d.closed);

    // The same text again is no change; a check and the dirty flag are.
    w->SetItemText(5, L"2950000");
    EXPECT_EQ(model.WaitForChanges(d.sequence, 0ms).sequence, d.sequence);
    w->CheckButton(3, BST_CHECKED);
    model.SetDirty(true);
    ui::DialogChanges e = model.WaitForChanges(d.sequence, 0ms);
    ASSERT_EQ(e.controls.size(), 1u);
    EXPECT_TRUE(e.controls[0].id == 3 && e.controls[0].checked);
    EXPECT_TRUE(e.dirtyChanged && e.dirty);

    w->Destroy();
    EXPECT_TRUE(model.WaitForChanges(e.sequence, 0ms).closed);
    EXPECT_FALSE(model.State().open);
}

TEST(DialogModel, APasswordIsKeptForThePageButNeverShown) {
    DialogModel model;
    Recorder proc;
    IDialogWindow* w = model.CreateDialogFromTemplate(kTemplate, &proc);
    const uint64_t start = model.State().sequence;
    auto password = [](const std::vector<ui::ControlState>& controls) {
        for (const ui::ControlState& c : controls)
            if (c.id == 2) return c;
        return ui::ControlState{};
    };
    EXPECT_FALSE(password(model.State().controls).set);
    for (const auto& set : std::vector<std::function<void()>>{[&] { w->SetItemText(2, L"from-the-page"); },
                                                              [&] { model.UserSetText(2, "hunter2"); }}) {
        set();
        const ui::ControlState shown = password(model.State().controls);
        const ui::ControlState changed = password(model.WaitForChanges(start, 0ms).controls);
        for (const ui::ControlState& c : {shown, changed}) {
            EXPECT_EQ(c.id, 2);
            EXPECT_TRUE(c.password && c.set);
            EXPECT_EQ(c.text, "");
        }
    }
    EXPECT_EQ(Text(w, 2), L"hunter2");
    w->Destroy();
}

TEST(DialogModel, AfterDestroyNothingReachesTheProcedure) {
    DialogModel model;
    Recorder proc;
    IDialogWindow* w = model.CreateDialogFromTemplate(kTemplate, &proc);
    // The page ends its dialog from inside a message: no deadlock, and nothing after it.
    proc.onCommand = [&](int id) {
        if (id == 4) w->Destroy();
    };
    EXPECT_EQ(model.UserClick(4), Result::Ok);
    proc.messages.clear();
    for (const auto& act : std::vector<std::function<Result()>>{[&] { return model.UserClick(4); },
                                                                [&] { return model.UserSetText(1, "x"); },
                                                                [&] { return model.UserSetCheck(3, true); },
                                                                [&] { return model.RunExclusive([] {}); }})
        EXPECT_EQ(act(), Result::NoDialog);
    EXPECT_TRUE(proc.messages.empty());
    EXPECT_FALSE(w->SetItemText(1, L"x"));
    EXPECT_EQ(Text(w, 1), L"");
    // A new dialog can be made once the old one is gone.
    EXPECT_NE(model.CreateDialogFromTemplate(kTemplate, &proc), nullptr);
    model.Destroy();
}

}  // namespace
