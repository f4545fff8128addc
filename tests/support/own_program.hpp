#pragma once
// Where the running test program lies; the process tests start copies of it.
#include <windows.h>

#include <string>

namespace test_support {

inline std::string own_path() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

inline std::string own_folder() {
    const std::string path = own_path();
    return path.substr(0, path.rfind('\\') + 1);
}

inline std::string own_name() {
    const std::string path = own_path();
    return path.substr(path.rfind('\\') + 1);
}

}  // namespace test_support
