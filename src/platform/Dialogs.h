#pragma once

#include <QString>

namespace platform::Dialogs {

// The plain message box: captioned with the application title, no icon, one
// "OK" button that Enter and Escape both press, centred on the screen.
void ShowMessage(const QString &text);

} // namespace platform::Dialogs
