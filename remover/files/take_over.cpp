#include "remover/files/take_over.hpp"

#include <aclapi.h>

#include <vector>

#include "remover/common/paths.hpp"
#include "remover/processes/processes.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/account.hpp"
#include "replay/files/links.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/names.hpp"

namespace remover {

namespace {

// Full control of each kind of object, in its specific rights: generic rights
// in an access list set through a handle are not mapped by every system.
ACCESS_MASK full_control(SE_OBJECT_TYPE type) {
    return type == SE_REGISTRY_KEY ? KEY_ALL_ACCESS : FILE_ALL_ACCESS;
}

// An access list granting each of the accounts full control, nothing else.
bool full_control_list(SE_OBJECT_TYPE type, PSID first, PSID second, std::vector<BYTE>& list) {
    const DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(first) +
                       GetLengthSid(second);
    list.assign(size, 0);
    auto* acl = reinterpret_cast<PACL>(list.data());
    return InitializeAcl(acl, size, ACL_REVISION) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, /*flags=*/0, full_control(type), first) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, /*flags=*/0, full_control(type), second);
}

}  // namespace

DWORD take_over(const object_opener& open, SE_OBJECT_TYPE type, const std::wstring& shown) {
    // Taking ownership needs the first; the restore privilege lets Windows
    // grant WRITE_DAC and WRITE_OWNER whatever the list says, and the backup
    // privilege read access to files opened with backup semantics.
    const privilege_scope take_ownership("SeTakeOwnershipPrivilege");
    const privilege_scope restore("SeRestorePrivilege");
    const privilege_scope backup("SeBackupPrivilege");

    const replay::sid_handle administrators = replay::administrators_sid();
    const replay::sid_handle system = replay::nt_authority_sid(SECURITY_LOCAL_SYSTEM_RID, 0, 1);
    std::vector<BYTE> list;
    if (administrators.get() == nullptr || system.get() == nullptr ||
        !full_control_list(type, administrators.get(), system.get(), list)) {
        return GetLastError();
    }

    // Writing an access list also reads the old descriptor (Wine's
    // SetSecurityInfo does so for files and refuses without READ_CONTROL).
    constexpr ACCESS_MASK list_access = WRITE_DAC | READ_CONTROL;
    DWORD error = 0;
    object_handle object = open(WRITE_OWNER | list_access, error);
    const bool may_write_list = object != nullptr;
    if (!object) object = open(WRITE_OWNER, error);
    if (!object) return error;
    error = SetSecurityInfo(object.get(), type, OWNER_SECURITY_INFORMATION, administrators.get(),
                            /*group=*/nullptr, /*dacl=*/nullptr, /*sacl=*/nullptr);
    if (error != ERROR_SUCCESS) return error;
    // The owner may always change the access list: open again as the owner.
    if (!may_write_list) object = open(list_access, error);
    if (!object) return error;
    error = SetSecurityInfo(object.get(), type, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            /*owner=*/nullptr, /*group=*/nullptr, reinterpret_cast<PACL>(list.data()),
                            /*sacl=*/nullptr);
    if (error != ERROR_SUCCESS) return error;
    replay::log::message(L"Taken over: '%s' (its access list refused the administrators)", shown.c_str());
    return ERROR_SUCCESS;
}

DWORD take_over_key(HKEY parent, const std::wstring& name, REGSAM view, const std::wstring& shown) {
    // With an empty name the open would reach the parent itself.
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    const object_opener open = [parent, &name, view](ACCESS_MASK access, DWORD& error) -> object_handle {
        HKEY opened = nullptr;
        const LSTATUS result = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access | view, &opened);
        if (result != ERROR_SUCCESS) {
            error = static_cast<DWORD>(result);
            return nullptr;
        }
        return object_handle(opened, [](void* key) { RegCloseKey(static_cast<HKEY>(key)); });
    };
    return take_over(open, SE_REGISTRY_KEY, shown);
}

DWORD take_over_file(const std::wstring& path) {
    DWORD error = 0;
    std::wstring resolved;
    const link_state state = check_links(path, &error, &resolved);
    if (state == link_state::unknown) return error;
    if (state == link_state::link) return ERROR_CANT_RESOLVE_FILENAME;
    const tree_removal_seams& seams = test_seams();
    if (seams.entry_checked != nullptr) seams.entry_checked(path, seams.context);
    const std::wstring extended = detail::ext(path);
    const object_opener open = [&extended, &resolved](ACCESS_MASK access, DWORD& failure) -> object_handle {
        // Attributes are read to confirm on the handle where it leads.
        const HANDLE opened = CreateFileW(extended.c_str(), access | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          /*security=*/nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                          /*template=*/nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            failure = GetLastError();
            return nullptr;
        }
        object_handle object(opened, [](void* handle) { CloseHandle(handle); });
        // The path was checked before it was opened: a folder on it replaced
        // by a link meanwhile, or the file by a second name of another file,
        // leads the handle to what is not the product's.
        if (!resolved.empty()) {
            const auto reached = replay::files::final_path(opened, failure);
            if (!reached) return nullptr;
            if (!replay::unicode::same_name(*reached, resolved) || replay::files::is_reparse_or_linked(opened)) {
                failure = ERROR_CANT_RESOLVE_FILENAME;
                return nullptr;
            }
        }
        return object;
    };
    return take_over(open, SE_FILE_OBJECT, path);
}

}  // namespace remover
