#include "remover/safe_delete.hpp"

#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The longest path Windows allows, with its terminator.
constexpr DWORD longest_path_chars = 32768;

using replay::unicode::from_ansi;
using replay::unicode::to_ansi;

using replay::unicode::same_name;

// The extended-length form ("\\?\C:\...", "\\?\UNC\server\...") of a full
// path: every call below uses it, so that no path is too long for the system.
// Messages keep showing the path as it was given.
std::wstring ext(const std::wstring& full) {
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    if (full.size() >= 2 && full[1] == L':') return L"\\\\?\\" + full;
    return full;
}

// The path as given, from its extended-length form.
std::wstring plain(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

bool is_dot_entry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

[[noreturn]] void raise(const char* operation, DWORD error, const std::wstring& path) {
    throw filesystem_error(replay::format("%s: %s: \"%s\"", operation, replay::system_error_text(error).c_str(),
                                          to_ansi(path).c_str()));
}

// Functions of newer Windows versions, bound at run time so that the program
// still starts on Windows 2000 and XP, where no symbolic links exist.
using file_information_function = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

using query_object_function = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
using status_to_error_function = ULONG(NTAPI*)(NTSTATUS);
using create_file_function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// Bound once, as the program starts.
const auto get_file_information =
    replay::system_function<file_information_function>(L"kernel32.dll", "GetFileInformationByHandleEx");
const auto set_file_information =
    replay::system_function<file_information_function>(L"kernel32.dll", "SetFileInformationByHandle");
const auto create_file = replay::system_function<create_file_function>(L"ntdll.dll", "NtCreateFile");
const auto query_object = replay::system_function<query_object_function>(L"ntdll.dll", "NtQueryObject");
const auto status_to_error = replay::system_function<status_to_error_function>(L"ntdll.dll", "RtlNtStatusToDosError");

// Whether the system can say where a handle leads (Vista and later).
bool can_resolve() { return get_file_information != nullptr; }

tree_removal_seams installed_seams;

// Whether an entry can be opened once, checked on its handle and deleted
// through it (Vista and later). Otherwise each entry is checked and deleted
// by its path.
bool can_delete_by_handle() {
    return can_resolve() && set_file_information != nullptr && query_object != nullptr &&
           status_to_error != nullptr && create_file != nullptr && !installed_seams.by_path;
}

// Where an open handle really leads: its volume's serial number and its path
// on that volume ("1A2B3C4D:\users\x"), without trailing backslashes. The
// path on the volume has no length limit (GetFinalPathNameByHandle has one
// under Wine), and SUBST drives, mapped drives and shares give parent and
// entry alike.
std::optional<std::wstring> final_path(HANDLE handle, DWORD& error) {
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
    std::wstring path = replay::wformat(L"%08lX:", static_cast<unsigned long>(identity.dwVolumeSerialNumber)) +
                        std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

// Where the system resolves a path, following whatever links lie on it.
std::optional<std::wstring> resolved_path(const std::wstring& path, DWORD& error) {
    replay::file_handle handle(CreateFileW(ext(path).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        error = GetLastError();
        return std::nullopt;
    }
    return final_path(handle.get(), error);
}

// Checks one entry of a folder that resolves to parent_resolved. The entry is
// the folder's own when it is no reparse point and resolves to its name below
// that folder: a SUBST drive or a share resolves parent and entry alike, a
// link resolves elsewhere.
link_state check_entry(const std::wstring& path, const std::wstring& parent_resolved, const wchar_t* name,
                       DWORD attributes, DWORD& error) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return link_state::link;
    if (!can_resolve()) return link_state::own;
    const auto resolved = resolved_path(path, error);
    if (!resolved) return link_state::unknown;
    return same_name(*resolved, parent_resolved + L"\\" + name) ? link_state::own : link_state::link;
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

// Removes a link without touching its target, where the system allows that:
// the handle must name the link itself below its folder. Under some systems
// (Wine) every handle reaches the target; the link then stays.
bool remove_link_alone(const std::wstring& path) {
    if (!can_resolve() || set_file_information == nullptr) {
        // Windows 2000 and XP know only junctions, which RemoveDirectory
        // removes without entering.
        const DWORD attributes = GetFileAttributesW(ext(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(ext(path).c_str()) != FALSE
                                                        : DeleteFileW(ext(path).c_str()) != FALSE;
    }
    const size_t last = path.find_last_of(L'\\');
    if (last == std::wstring::npos) return false;
    DWORD error = 0;
    const auto parent = resolved_path(path.substr(0, std::max<size_t>(last, root_length(path))), error);
    if (!parent) return false;
    replay::file_handle handle(CreateFileW(ext(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    if (!handle) return false;
    const auto resolved = final_path(handle.get(), error);
    if (!resolved || !same_name(*resolved, *parent + path.substr(last))) return false;
    return delete_through(handle.get(), 0) == 0;
}

// Room for any name NtQueryObject can give (a UNICODE_STRING holds at most
// 65534 bytes).
constexpr size_t object_name_room = sizeof(OBJECT_NAME_INFORMATION) + 65536;
// Room for one batch of a folder listing.
constexpr size_t listing_room = 64 * 1024;

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

class tree_remover {
public:
    std::uintmax_t remove(const std::wstring& root) {
        if (!path_exists(root)) return 0;
        DWORD error = 0;
        std::wstring checked;
        switch (check_links(root, &error, &checked)) {
            case link_state::unknown: raise("remove_all", error, root);
            case link_state::link: return remove_link_alone(root) ? 1 : 0;
            case link_state::own: break;
        }
        const DWORD attributes = GetFileAttributesW(ext(root).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) raise("remove_all", GetLastError(), root);
        if (can_delete_by_handle()) return remove_by_handle(root, checked, attributes);
        notify_checked(root);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_file(root, attributes);
            return removed_;
        }
        std::wstring resolved = root;
        if (can_resolve()) {
            const auto found = resolved_path(root, error);
            if (!found) raise("remove_all", error, root);
            resolved = *found;
        }
        const std::wstring kept = walk(root, resolved);
        remove_folder(root, attributes, kept);
        return removed_;
    }

private:
    struct listed_entry {
        std::wstring name;
        DWORD attributes;
    };

    static void notify_checked(const std::wstring& path) {
        if (installed_seams.entry_checked != nullptr) installed_seams.entry_checked(path, installed_seams.context);
    }

    // The root, checked by its path (check_links resolved it to resolved), is
    // opened once; its handle must lead to that same place. Everything below
    // is removed through handles, and the root last through its own.
    std::uintmax_t remove_by_handle(const std::wstring& root, const std::wstring& resolved, DWORD attributes) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        replay::file_handle handle;
        bool link = false;
        DWORD error = open_confirmed(root, resolved, folder, (attributes & FILE_ATTRIBUTE_READONLY) != 0, handle,
                                     attributes, link);
        // Replaced by a link since its path was checked: a handle that leads
        // elsewhere leaves it, the link's own handle removes it alone.
        if (error == link_not_removed) return 0;
        if (error != 0) raise("remove_all", error, root);
        if (link) return delete_through(handle.get(), 0) == 0 ? 1 : 0;
        std::wstring name;
        if (!object_name(handle.get(), name_buffer_, name, error)) raise("remove_all", error, root);
        notify_checked(root);
        const std::wstring kept =
            (attributes & FILE_ATTRIBUTE_DIRECTORY) ? walk_by_handle(root, handle.get(), name) : std::wstring();
        delete_entry(handle.get(), root, attributes, kept);
        return removed_;
    }

    // Lists a folder through its open handle.
    std::vector<listed_entry> list(HANDLE folder, const std::wstring& path) {
        std::vector<listed_entry> entries;
        FILE_INFO_BY_HANDLE_CLASS batch = FileIdBothDirectoryRestartInfo;
        for (;;) {
            if (!get_file_information(folder, batch, listing_buffer_.data(),
                                      static_cast<DWORD>(listing_buffer_.size()))) {
                const DWORD error = GetLastError();
                if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) return entries;
                raise("remove_all", error, path);
            }
            batch = FileIdBothDirectoryInfo;
            const unsigned char* at = listing_buffer_.data();
            for (;;) {
                const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
                std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
                if (!is_dot_entry(name.c_str())) entries.push_back({std::move(name), info->FileAttributes});
                if (info->NextEntryOffset == 0) break;
                at += info->NextEntryOffset;
            }
        }
    }

    // What an entry's handle is. own: the entry itself, no link. link: the
    // link itself (opened without following it). elsewhere: the handle leads
    // to another place (under Wine every handle of a link reaches its target).
    enum class opened { own, link, elsewhere };

    // Opens an entry of a folder held open (listed with attributes) and checks
    // it on that handle, which must be known by the entry's own name below the
    // folder (expected), and for a folder or a listed link say whether it is a
    // link. A file's handle needs only its name: where it is a link itself,
    // deleting through it removes the link alone, as for a listed link.
    // Raises for failures; attributes become the handle's where it was asked.
    opened open_checked(HANDLE parent, const std::wstring& entry_name, const std::wstring& path,
                        const std::wstring& expected, replay::file_handle& handle, DWORD& attributes,
                        std::wstring& name) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool listed_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        DWORD error = 0;
        handle.reset(open_below(parent, entry_name, folder, /*hold=*/folder && !listed_link,
                                (attributes & FILE_ATTRIBUTE_READONLY) != 0 && !listed_link, error));
        if (!handle) {
            // A listed link that cannot be opened (its target is missing or
            // busy) stays as it is.
            if (listed_link) return opened::elsewhere;
            raise("remove_all", error, path);
        }
        bool link = false;
        if (folder || listed_link) {
            link = handle_is_link(handle.get(), attributes, error);
            if (error != 0) raise("remove_all", error, path);
        }
        if (!object_name(handle.get(), name_buffer_, name, error)) raise("remove_all", error, path);
        if (name != expected && !same_name(name, expected)) return opened::elsewhere;
        return link ? opened::link : opened::own;
    }

    // Removes everything below a folder held open (its handle is known as
    // folder_name); returns the first link that had to stay in it, if any.
    std::wstring walk_by_handle(const std::wstring& folder, HANDLE handle, const std::wstring& folder_name) {
        std::wstring kept;
        for (const listed_entry& entry : list(handle, folder)) {
            const std::wstring path = folder + L"\\" + entry.name;
            replay::file_handle child;
            DWORD attributes = entry.attributes;
            std::wstring name;
            const opened state =
                open_checked(handle, entry.name, path, folder_name + L"\\" + entry.name, child, attributes, name);
            // A link is never entered: its target is not the product's. Its own
            // handle removes it alone; where every handle reaches the target,
            // it stays.
            if (state == opened::link && delete_through(child.get(), 0) == 0) {
                ++removed_;
                continue;
            }
            if (state != opened::own) {
                if (kept.empty()) kept = path;
                continue;
            }
            notify_checked(path);
            const std::wstring kept_below =
                (attributes & FILE_ATTRIBUTE_DIRECTORY) ? walk_by_handle(path, child.get(), name) : std::wstring();
            delete_entry(child.get(), path, attributes, kept_below);
        }
        return kept;
    }

    // kept names a link that stayed inside a folder, if any: the folder is
    // then not empty because of it.
    void delete_entry(HANDLE handle, const std::wstring& path, DWORD attributes, const std::wstring& kept) {
        const DWORD error = delete_through(handle, attributes);
        if (error == 0) {
            ++removed_;
            return;
        }
        if (!kept.empty() && error == ERROR_DIR_NOT_EMPTY) raise_kept(kept);
        raise("remove_all", error, path);
    }

    [[noreturn]] static void raise_kept(const std::wstring& kept) {
        throw filesystem_error(
            replay::format("remove_all: a link is not followed and stays: \"%s\"", to_ansi(kept).c_str()));
    }

    // Removes everything below a folder; returns the first link that had to
    // stay in it, if any.
    std::wstring walk(const std::wstring& folder, const std::wstring& resolved_folder) {
        std::vector<WIN32_FIND_DATAW> entries;
        {
            WIN32_FIND_DATAW entry;
            replay::find_handle search(FindFirstFileW((ext(folder) + L"\\*").c_str(), &entry));
            if (!search) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) return std::wstring();
                raise("remove_all", error, folder);
            }
            do {
                if (!is_dot_entry(entry.cFileName)) entries.push_back(entry);
            } while (FindNextFileW(search.get(), &entry));
        }
        std::wstring kept;
        for (const WIN32_FIND_DATAW& entry : entries) {
            const std::wstring path = folder + L"\\" + entry.cFileName;
            DWORD error = 0;
            switch (check_entry(path, resolved_folder, entry.cFileName, entry.dwFileAttributes, error)) {
                case link_state::unknown: raise("remove_all", error, path);
                case link_state::link:
                    // A link is never entered: its target is not the product's.
                    if (remove_link_alone(path)) {
                        ++removed_;
                    } else if (kept.empty()) {
                        kept = path;
                    }
                    continue;
                case link_state::own: break;
            }
            notify_checked(path);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                const std::wstring kept_below = walk(path, resolved_folder + L"\\" + entry.cFileName);
                remove_folder(path, entry.dwFileAttributes, kept_below);
            } else {
                remove_file(path, entry.dwFileAttributes);
            }
        }
        return kept;
    }

    void remove_file(const std::wstring& path, DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(ext(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (!DeleteFileW(ext(path).c_str())) raise("remove_all", GetLastError(), path);
        ++removed_;
    }

    // kept names a link that stayed inside the folder, if any: the folder is
    // then not empty because of it.
    void remove_folder(const std::wstring& path, DWORD attributes, const std::wstring& kept) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(ext(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (RemoveDirectoryW(ext(path).c_str())) {
            ++removed_;
            return;
        }
        const DWORD error = GetLastError();
        if (!kept.empty() && error == ERROR_DIR_NOT_EMPTY) raise_kept(kept);
        raise("remove_all", error, path);
    }

    std::uintmax_t removed_ = 0;
    std::vector<unsigned char> name_buffer_ = std::vector<unsigned char>(object_name_room);
    std::vector<unsigned char> listing_buffer_ = std::vector<unsigned char>(listing_room);
};

// The folders a tree removal never takes, in full form.
std::vector<std::wstring> build_protected_folders() {
    static const int known[] = {
        CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
        CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, CSIDL_STARTMENU,
        CSIDL_COMMON_STARTMENU, CSIDL_STARTUP, CSIDL_COMMON_STARTUP, CSIDL_DESKTOPDIRECTORY,
        CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL, CSIDL_COMMON_DOCUMENTS, CSIDL_FONTS,
    };
    std::vector<std::wstring> folders;
    auto add = [&](const std::wstring& path) {
        if (!path.empty()) folders.push_back(full_path(path));
    };
    for (int csidl : known) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) add(path);
    }
    wchar_t path[MAX_PATH] = {};
    if (GetWindowsDirectoryW(path, MAX_PATH)) add(path);
    if (GetSystemDirectoryW(path, MAX_PATH)) add(path);
    // The 64-bit Program Files folder, as a 32-bit program sees it.
    if (GetEnvironmentVariableW(L"ProgramW6432", path, MAX_PATH)) add(path);
    // Every user profile.
    wchar_t profile[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) {
        std::wstring root = full_path(profile);
        root = root.substr(0, root.find_last_of(L'\\'));
        add(root);
        WIN32_FIND_DATAW entry;
        replay::find_handle search(FindFirstFileW((root + L"\\*").c_str(), &entry));
        if (search) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != L'.') {
                    add(root + L"\\" + entry.cFileName);
                }
            } while (FindNextFileW(search.get(), &entry));
        }
    }
    return folders;
}

// Built on first use: the system and user folders do not change during a run.
const std::vector<std::wstring>& protected_folders() {
    static const std::vector<std::wstring> folders = build_protected_folders();
    return folders;
}

}  // namespace

std::wstring full_path(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(size);
    const std::wstring extended = ext(full);
    const DWORD long_size = GetLongPathNameW(extended.c_str(), nullptr, 0);
    if (long_size > 0) {
        std::wstring long_form(long_size, L'\0');
        const DWORD written = GetLongPathNameW(extended.c_str(), long_form.data(), long_size);
        if (written > 0 && written < long_size) full = plain(long_form.substr(0, written));
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

bool is_protected_folder(const std::string& path) {
    const std::wstring wide = from_ansi(path);
    // Only fully qualified paths: "X:\..." or "\\server\share\...".
    const bool drive_path = wide.size() >= 3 && iswalpha(wide[0]) && wide[1] == L':' &&
                            (wide[2] == L'\\' || wide[2] == L'/');
    const bool share_path = wide.size() >= 3 && wide[0] == L'\\' && wide[1] == L'\\' && wide[2] != L'?' &&
                            wide[2] != L'.' && wide[2] != L'\\';
    if (!drive_path && !share_path) return true;
    const std::wstring full = full_path(wide);
    if (full.empty()) return true;
    if (drive_path && full.size() <= 3) return true;  // a drive root
    if (share_path && std::count(full.begin() + 2, full.end(), L'\\') < 2) return true;  // a share root
    for (const std::wstring& folder : protected_folders()) {
        if (same_name(folder, full)) return true;
        if (folder.size() > full.size() && replay::unicode::starts_with_name(folder, full) &&
            folder[full.size()] == L'\\') {
            return true;  // a parent of a protected folder
        }
    }
    return false;
}

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
        const auto found = resolved_path(full.substr(0, root), failure);
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

std::uintmax_t remove_tree(const std::string& path) {
    const std::wstring full = full_path(from_ansi(path));
    if (full.empty()) return 0;
    return tree_remover().remove(full);
}

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
    if (GetFileAttributesW(ext(full).c_str()) != INVALID_FILE_ATTRIBUTES) {
        DWORD error = 0;
        std::wstring resolved;
        switch (check_links(full, &error, &resolved)) {
            case link_state::unknown: return error;
            case link_state::link: return remove_link_alone(full) ? 0 : link_not_removed;
            case link_state::own: break;
        }
        if (can_delete_by_handle()) return delete_checked(full, resolved, /*folder=*/false);
    }
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

tree_removal_seams& test_seams() { return installed_seams; }

}  // namespace remover
