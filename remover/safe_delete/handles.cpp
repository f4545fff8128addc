#include "remover/safe_delete/internal.hpp"

#include "replay/handle.hpp"

namespace remover::detail {

tree_removal_seams installed_seams;

// Whether an entry can be opened once, checked on its handle and deleted
// through it (Vista and later). Otherwise each entry is checked and deleted
// by its path.
bool can_delete_by_handle() {
    return can_resolve() && set_file_information != nullptr && query_object != nullptr &&
           status_to_error != nullptr && create_file != nullptr && !installed_seams.by_path;
}

// Marks an open entry for deletion; it goes when its handle is closed.
// Returns 0 or the Windows error.
DWORD delete_through(HANDLE handle, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        constexpr DWORD kept_attributes =
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY;
        FILE_BASIC_INFO basic = {};  // times of 0 stay as they are
        basic.FileAttributes = (attributes & kept_attributes) ? (attributes & kept_attributes) : FILE_ATTRIBUTE_NORMAL;
        set_file_information(handle, FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (set_file_information(handle, FileDispositionInfo, &disposition, sizeof(disposition))) return 0;
    return GetLastError();
}

// The name under which the system knows an open handle, without trailing
// backslashes ("\Device\HarddiskVolume2\Users\x"; Wine gives "\??\C:\users\x").
// It names where the handle really leads: a handle opened through a link is
// known by its target's name. Parent and entry opened alike are named alike,
// on SUBST drives, mapped drives and shares too. buffer has object_name_room.
bool object_name(HANDLE handle, std::vector<unsigned char>& buffer, std::wstring& name, DWORD& error) {
    ULONG length = 0;
    const NTSTATUS status =
        query_object(handle, ObjectNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length);
    if (status < 0) {
        error = status_to_error(status);
        return false;
    }
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
    name.assign(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\\') name.pop_back();
    return true;
}

// A folder being emptied is shared for reading and writing only: while it is
// held, nobody else can rename it or put a link in its place.
constexpr DWORD folder_share = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens an entry for its deletion without following a link at its end: the
// handle leads to the entry itself, or (under Wine) through a link to its
// target, which only the handle's name then tells.
HANDLE open_for_deletion(const std::wstring& path, bool folder, bool read_only) {
    DWORD access = DELETE;
    if (folder) access |= FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    // A read-only entry loses the attribute through the same handle.
    if (read_only) access |= FILE_WRITE_ATTRIBUTES;
    return CreateFileW(ext(path).c_str(), access, folder ? folder_share : share_all, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0), nullptr);
}

// Opens an entry of a folder held open the same way, looking its name up in
// that folder itself: whatever happens to the paths above, the entry is the
// held folder's own. hold: a folder to be emptied, shared without deletion.
HANDLE open_below(HANDLE folder, const std::wstring& name, bool is_folder, bool hold, bool read_only,
                  DWORD& error) {
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(name.c_str());
    string.Length = string.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &string, OBJ_CASE_INSENSITIVE, folder, nullptr);
    ACCESS_MASK access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    if (is_folder) access |= FILE_LIST_DIRECTORY;
    if (read_only) access |= FILE_WRITE_ATTRIBUTES;
    // The options CreateFileW gives FILE_FLAG_OPEN_REPARSE_POINT, and
    // FILE_FLAG_BACKUP_SEMANTICS for a folder.
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                          (is_folder ? FILE_OPEN_FOR_BACKUP_INTENT : FILE_NON_DIRECTORY_FILE);
    IO_STATUS_BLOCK status_block = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status =
        create_file(&handle, access, &object, &status_block, /*allocation=*/nullptr, /*attributes=*/0,
                    hold ? folder_share : share_all, FILE_OPEN, options, /*extended=*/nullptr, 0);
    if (status < 0) {
        error = status_to_error(status);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Whether an open entry is a link, by the attributes of the handle itself.
bool handle_is_link(HANDLE handle, DWORD& attributes, DWORD& error) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!get_file_information(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
        error = GetLastError();
        return false;
    }
    attributes = tag.FileAttributes;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens an entry checked by its path (check_links resolved it to resolved)
// and confirms on the handle that it still leads there. Returns 0,
// link_not_removed when the handle leads elsewhere (the entry was replaced by
// a link since), or the Windows error. link tells whether the handle is a
// link itself; attributes become the handle's.
DWORD open_confirmed(const std::wstring& full, const std::wstring& resolved, bool folder, bool read_only,
                     replay::file_handle& handle, DWORD& attributes, bool& link) {
    handle.reset(open_for_deletion(full, folder, read_only));
    if (!handle) return GetLastError();
    DWORD error = 0;
    const auto final = final_path(handle.get(), error);
    if (!final) return error;
    link = handle_is_link(handle.get(), attributes, error);
    if (error != 0) return error;
    return same_name(*final, resolved) ? 0 : link_not_removed;
}

// An entry checked by its path, then deleted through one handle that must
// lead to that same place. A handle that leads elsewhere, or a folder that
// has become a link, stays; a file that has become a link goes alone through
// its own handle. Returns 0, link_not_removed, or the Windows error.
DWORD delete_checked(const std::wstring& full, const std::wstring& resolved, bool folder) {
    replay::file_handle handle;
    DWORD attributes = 0;
    bool link = false;
    const DWORD error = open_confirmed(full, resolved, folder, /*read_only=*/false, handle, attributes, link);
    if (error != 0) return error;
    if (link && folder) return link_not_removed;
    return delete_through(handle.get(), 0);
}

}  // namespace remover::detail
