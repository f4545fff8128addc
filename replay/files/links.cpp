#include "replay/files/links.hpp"

#include <vector>

#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/names.hpp"

namespace replay::files {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

using file_information_function = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// Bound once, as the program starts; null before Vista.
const file_information_function get_file_information =
    system_function<file_information_function>(L"kernel32.dll", "GetFileInformationByHandleEx");

}  // namespace

bool is_reparse_or_linked(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return true;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

bool can_resolve() { return get_file_information != nullptr; }

std::optional<std::wstring> final_path(HANDLE handle, DWORD& error) {
    if (!can_resolve()) {
        error = ERROR_CALL_NOT_IMPLEMENTED;
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION identity;
    if (!GetFileInformationByHandle(handle, &identity)) {
        error = GetLastError();
        return std::nullopt;
    }
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    BOOL done = get_file_information(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (!done && GetLastError() == ERROR_MORE_DATA) {
        buffer.resize(sizeof(FILE_NAME_INFO) + longest_path_chars * sizeof(wchar_t));
        done = get_file_information(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (!done) {
        error = GetLastError();
        return std::nullopt;
    }
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    std::wstring path = wformat(L"%08lX:", static_cast<unsigned long>(identity.dwVolumeSerialNumber)) +
                        std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

std::optional<std::wstring> resolved_path(const std::wstring& path, DWORD& error) {
    file_handle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, /*security=*/nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*template=*/nullptr));
    if (!handle) {
        error = GetLastError();
        return std::nullopt;
    }
    return final_path(handle.get(), error);
}

bool is_named_below(const std::wstring& reached, const std::wstring& folder, std::wstring_view name) {
    return reached.size() == folder.size() + 1 + name.size() && reached[folder.size()] == L'\\' &&
           unicode::same_name(std::wstring_view(reached).substr(0, folder.size()), folder) &&
           unicode::same_name(std::wstring_view(reached).substr(folder.size() + 1), name);
}

bool reached_by_own_name(HANDLE file, const std::wstring& path) {
    if (!can_resolve()) return true;
    DWORD error = 0;
    const auto reached = final_path(file, error);
    if (!reached) return false;
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const auto folder_reached = resolved_path(folder, error);
    return folder_reached && is_named_below(*reached, *folder_reached, name);
}

bool is_link(HANDLE file, const std::wstring& path) {
    return is_reparse_or_linked(file) || !reached_by_own_name(file, path);
}

}  // namespace replay::files
