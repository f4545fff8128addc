#pragma once
// The machine's per-user component registrations of Windows Installer, found
// by the file their key path names: how the suite and the tray lose theirs.
#include <string>

namespace remover {

// Removes the per-user component registrations of the local machine whose
// key path holds `text` (case ignored) where it starts the path or follows a
// backslash (holds_path_part), with the first subkey of each.
// Logs every removal and failure; never raises.
void remove_installer_components(const std::wstring& text);

}  // namespace remover
