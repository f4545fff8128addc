#include "remover/safe_delete/internal.hpp"

namespace remover {

using namespace detail;

namespace {

// The full wide form of an ANSI path; false when the code page cannot decode it.
bool full_wide_path(const std::string& path, std::wstring& full) {
    try {
        full = full_path(from_ansi(path));
        return true;
    } catch (const replay::exception&) {
        return false;
    }
}

}  // namespace

DWORD delete_file_safely(const std::string& path) {
    std::wstring full;
    if (!full_wide_path(path, full)) return ERROR_NO_UNICODE_TRANSLATION;
    // A file whose attributes cannot be read is not deleted by its path
    // either: that would skip the link checks.
    if (GetFileAttributesW(ext(full).c_str()) == INVALID_FILE_ATTRIBUTES) return GetLastError();
    DWORD error = 0;
    std::wstring resolved;
    switch (check_links(full, &error, &resolved)) {
        case link_state::unknown: return error;
        case link_state::link: return remove_link_alone(full) ? 0 : link_not_removed;
        case link_state::own: break;
    }
    if (can_delete_by_handle()) return delete_checked(full, resolved, /*folder=*/false);
    return DeleteFileW(ext(full).c_str()) ? 0 : GetLastError();
}

DWORD remove_empty_folder_safely(const std::string& path) {
    std::wstring full;
    if (!full_wide_path(path, full)) return ERROR_NO_UNICODE_TRANSLATION;
    DWORD error = 0;
    std::wstring resolved;
    switch (check_links(full, &error, &resolved)) {
        case link_state::unknown: return error;
        case link_state::link: return link_not_removed;
        case link_state::own: break;
    }
    if (can_delete_by_handle()) return delete_checked(full, resolved, /*folder=*/true);
    return RemoveDirectoryW(ext(full).c_str()) ? 0 : GetLastError();
}

}  // namespace remover
