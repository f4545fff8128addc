#include "remover/files.hpp"

#include <windows.h>
#include <shlobj.h>

#include "replay/exception.hpp"

namespace remover {

std::string get_folder_path(int csidl) {
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(/*owner=*/nullptr, csidl, /*token=*/nullptr, SHGFP_TYPE_CURRENT, path))) {
        throw replay::exception("Error in ::SHGetFolderPath( 0, CSIDL=%d ....", csidl);
    }
    return std::string(path) + "\\";
}

}  // namespace remover
