#pragma once
// The file-system side of the removal.
#include <string>

namespace remover {

// The special folder of a CSIDL value, ending with one backslash. Raises
// replay::exception "Error in ::SHGetFolderPath( 0, CSIDL=%d ...." when the
// system cannot resolve it.
std::string get_folder_path(int csidl);

}  // namespace remover
