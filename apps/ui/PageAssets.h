#pragma once
// The web page: one HTML document with its style and script inside, built from the dialog's
// controls (ids, kinds, labels, units, groups). It carries no values: the script loads them from
// the event stream, with the token it finds in the page's own URL.
#include <string>

#include "platform/ui/DialogModel.h"

namespace app::ui {

// `notice`: shown above the controls when not empty (why there are none, say).
std::string RenderPage(const std::string& title, const ::ui::DialogState& dialog, const std::string& notice);

}  // namespace app::ui
