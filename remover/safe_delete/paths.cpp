#include "remover/safe_delete/internal.hpp"

#include "replay/format.hpp"
#include "replay/handle.hpp"

namespace remover::detail {

bool is_dot_entry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

std::string failure_text(const char* operation, DWORD error, const std::wstring& path) {
    return replay::format("%s: %s: \"%s\"", operation, replay::system_error_text(error).c_str(),
                          to_ansi(path).c_str());
}

[[noreturn]] void raise(const char* operation, DWORD error, const std::wstring& path) {
    throw filesystem_error(failure_text(operation, error, path));
}

// The length of the root of a full path: "X:\" or "\\server\share\"; 0 when
// the path has neither.
size_t root_length(const std::wstring& full) {
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return 3;
    if (full.compare(0, 2, L"\\\\") != 0) return 0;
    const size_t server_end = full.find(L'\\', 2);
    if (server_end == std::wstring::npos) return 0;
    const size_t share_end = full.find(L'\\', server_end + 1);
    return share_end == std::wstring::npos ? full.size() : share_end + 1;
}

}  // namespace remover::detail

namespace remover {

using namespace detail;

bool path_exists(const std::wstring& path) {
    if (GetFileAttributesW(ext(full_path(path)).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
        error == ERROR_BAD_NETPATH || error == ERROR_BAD_PATHNAME || error == ERROR_NOT_READY) {
        return false;
    }
    raise("exists", error, path);
}

bool is_empty_folder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    replay::find_handle search(FindFirstFileW((ext(full_path(folder)) + L"\\*").c_str(), &entry));
    if (!search) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;
        raise("is_empty", error, folder);
    }
    do {
        if (!is_dot_entry(entry.cFileName)) return false;
    } while (FindNextFileW(search.get(), &entry));
    return true;
}

}  // namespace remover
