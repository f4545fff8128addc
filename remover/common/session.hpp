#pragma once
// Whether anybody can see this process's windows. Deployment tools start the
// program as the local system account in a session without a visible
// window station; there a message box would wait forever on a desktop
// nobody sees. All of the program's boxes go through message_box.
#include <windows.h>

namespace remover {

// Looks once at the process's window station and remembers the answer: false
// when the station lacks WSF_VISIBLE or the process has none. When the
// station cannot be queried, windows count as visible, as they always did.
bool windows_visible();

// MessageBoxA without an owner window where windows are visible. Elsewhere
// nothing is shown: a question of MB_YESNO counts as answered IDNO, any
// other box as acknowledged (IDOK).
int message_box(const char* text, const char* caption, UINT type);

}  // namespace remover
