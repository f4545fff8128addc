#include "remover/safe_delete/internal.hpp"

#include "replay/handle.hpp"
#include "replay/system_function.hpp"

namespace remover::detail {

// Bound once, as the program starts.
const file_information_function get_file_information =
    replay::system_function<file_information_function>(L"kernel32.dll", "GetFileInformationByHandleEx");
const file_information_function set_file_information =
    replay::system_function<file_information_function>(L"kernel32.dll", "SetFileInformationByHandle");
const create_file_function create_file =
    replay::system_function<create_file_function>(L"ntdll.dll", "NtCreateFile");
const query_object_function query_object =
    replay::system_function<query_object_function>(L"ntdll.dll", "NtQueryObject");
const status_to_error_function status_to_error =
    replay::system_function<status_to_error_function>(L"ntdll.dll", "RtlNtStatusToDosError");

// Checks one entry of a folder that resolves to parent_resolved. The entry is
// the folder's own when it is no reparse point and resolves to its name below
// that folder: a SUBST drive or a share resolves parent and entry alike, a
// link resolves elsewhere.
link_state check_entry(const std::wstring& path, const std::wstring& parent_resolved, const wchar_t* name,
                       DWORD attributes, DWORD& error) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return link_state::link;
    if (!can_resolve()) return link_state::own;
    const auto resolved = resolved_path(ext(path), error);
    if (!resolved) return link_state::unknown;
    return is_named_below(*resolved, parent_resolved, name) ? link_state::own : link_state::link;
}

// Whether every folder above the last component of a full path is its own
// (no link); parent_resolved then receives where the parent resolves. A path
// with a link above its end lies in that link's target, which is not the
// product's: nothing in it is removed.
bool parent_is_own(const std::wstring& path, std::wstring& parent_resolved) {
    const size_t last = path.find_last_of(L'\\');
    if (last == std::wstring::npos) return false;
    const std::wstring parent = path.substr(0, std::max<size_t>(last, root_length(path)));
    if (parent.size() >= path.size()) return false;  // a root has no parent
    DWORD error = 0;
    return check_links(parent, &error, &parent_resolved) == link_state::own;
}

// Removes a link without touching its target, where the system allows that:
// the link must be the path's last component, every folder above it no link,
// and the handle opened must be the link itself, known by its own name below
// its folder. Under some systems (Wine) every handle reaches the target; the
// link then stays.
bool remove_link_alone(const std::wstring& path) {
    std::wstring parent;
    if (!parent_is_own(path, parent)) return false;
    if (!can_resolve() || set_file_information == nullptr) {
        // Windows 2000 and XP know only junctions, which RemoveDirectory
        // removes without entering.
        const DWORD attributes = GetFileAttributesW(ext(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(ext(path).c_str()) != FALSE
                                                        : DeleteFileW(ext(path).c_str()) != FALSE;
    }
    replay::file_handle handle(CreateFileW(ext(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    if (!handle) return false;
    DWORD error = 0;
    DWORD attributes = 0;
    if (!handle_is_link(handle.get(), attributes, error)) return false;
    const auto resolved = final_path(handle.get(), error);
    if (!resolved || !is_named_below(*resolved, parent, path.substr(path.find_last_of(L'\\') + 1))) return false;
    return delete_through(handle.get(), 0) == 0;
}

}  // namespace remover::detail

namespace remover {

using namespace detail;

link_state check_links(const std::wstring& path, DWORD* error, std::wstring* resolved_out) {
    DWORD ignored = 0;
    DWORD& failure = error != nullptr ? *error : ignored;
    const std::wstring full = full_path(path);
    const size_t root = root_length(full);
    if (root == 0) {
        failure = ERROR_BAD_PATHNAME;
        return link_state::unknown;
    }
    std::wstring resolved;
    if (can_resolve()) {
        const auto found = resolved_path(ext(full.substr(0, root)), failure);
        if (!found) return link_state::unknown;
        resolved = *found;
    }
    // Each component in turn, from the root down.
    size_t start = root;
    while (start < full.size()) {
        size_t end = full.find(L'\\', start);
        if (end == std::wstring::npos) end = full.size();
        const std::wstring prefix = full.substr(0, end);
        const std::wstring name = full.substr(start, end - start);
        const DWORD attributes = GetFileAttributesW(ext(prefix).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            failure = GetLastError();
            return link_state::unknown;
        }
        const link_state state = check_entry(prefix, resolved, name.c_str(), attributes, failure);
        if (state != link_state::own) return state;
        resolved += L"\\" + name;
        start = end + 1;
    }
    if (resolved_out != nullptr) *resolved_out = resolved;
    return link_state::own;
}

}  // namespace remover
