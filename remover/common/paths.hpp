#pragma once
// Small helpers for the paths the remover works with.
#include <string>

namespace remover {

// True for "X:\..." and "\\server\share\..." paths; false for empty, relative
// and drive-relative ("C:folder") paths, which would resolve against the
// current directory.
bool is_absolute_path(const std::string& path);

}  // namespace remover
