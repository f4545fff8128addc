#include "remover/processes.hpp"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <set>
#include <vector>

#include "remover/startup_checks.hpp"
#include "remover/text.hpp"
#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

constexpr size_t windows_2000_snapshot_name_chars = 15;
constexpr DWORD adjust_and_query = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
static_assert(adjust_and_query == 0x28);
constexpr DWORD shell_execute_mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
static_assert(shell_execute_mask == 0x440);
// Rights on a folder that let their holder put a program there or replace
// one: create files (write data), create folders (append data), change the
// access list or take ownership, and the generic forms of these.
constexpr ACCESS_MASK folder_write_rights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
static_assert(folder_write_rights == 0x500C0006);

// Accounts that may write where an elevated program is started from:
// Administrators, SYSTEM, TrustedInstaller, CREATOR OWNER and CREATOR GROUP.
constexpr const char* trusted_writers[] = {
    "S-1-5-32-544", "S-1-5-18", "S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698", "S-1-3-0",
    "S-1-3-1"};

// The comparison covers the final characters only, so a name given with a
// path, or one that merely ends with the wanted name, matches too.
bool matches(const char* exe_file, const std::string& name) { return ends_with_ascii_nocase(exe_file, name); }

// Calls visit for each process entry until it returns false.
template <typename Visit>
void walk_processes(Visit visit) {
    replay::snapshot_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        if (!visit(entry)) return;
    }
}

bool terminate_process(DWORD id) {
    replay::process_handle process(OpenProcess(PROCESS_TERMINATE, /*inherit=*/FALSE, id));
    if (!process) return false;
    TerminateProcess(process.get(), terminated_exit_code);
    return true;
}

// The SID in its S-1-... form; "an unreadable account" when it cannot be
// converted.
std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "an unreadable account";
    const std::string result = replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
    LocalFree(text);
    return result;
}

bool is_trusted_writer(PSID sid, PSID runner) {
    if (runner != nullptr && IsValidSid(runner) && EqualSid(sid, runner)) return true;
    const std::string text = sid_text(sid);
    for (const char* trusted : trusted_writers) {
        if (text == trusted) return true;
    }
    return false;
}

// The user of the process token; empty when it cannot be read, and then the
// running account counts as untrusted like any other.
std::vector<BYTE> running_account() {
    replay::token_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

// Why the program cannot be started: a link on its path, or its folder open
// to other writers. Empty when it may be started, or when it does not exist.
std::string start_refusal(const std::wstring& file) {
    // Each folder below the root, then the file itself. Every path-based
    // call follows a link in a parent component, so each is checked.
    const size_t root = file.compare(0, 2, L"\\\\") == 0 ? file.find(L'\\', file.find(L'\\', 2) + 1) : file.find(L'\\');
    if (root == std::wstring::npos) return {};
    std::vector<std::wstring> paths;
    for (size_t slash = file.find(L'\\', root + 1); slash != std::wstring::npos; slash = file.find(L'\\', slash + 1)) {
        if (slash > root + 1) paths.push_back(file.substr(0, slash));
    }
    paths.push_back(file);
    for (const std::wstring& path : paths) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
            return replay::format("\"%s\" cannot be examined (error %d)", replay::unicode::to_narrow(path, replay::unicode::utf8, false).c_str(),
                                  static_cast<int>(error));
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return replay::format("\"%s\" is a link", replay::unicode::to_narrow(path, replay::unicode::utf8, false).c_str());
    }
    const size_t last = file.rfind(L'\\');
    const std::wstring folder = last <= root ? file.substr(0, last + 1) : file.substr(0, last);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return replay::format("its folder's access list cannot be read (error %d)", static_cast<int>(error));
    const std::vector<BYTE> user = running_account();
    const PSID runner = user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    std::string refusal = folder_write_refusal(descriptor, runner);
    LocalFree(descriptor);
    return refusal;
}

}  // namespace

program_wait_timing& program_timing() {
    static program_wait_timing timing;
    return timing;
}

std::string folder_write_refusal(PSECURITY_DESCRIPTOR descriptor, PSID runner) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return "the folder's access list cannot be read";
    if (!present || dacl == nullptr) return "the folder has no access list: everyone may write to it";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return "the folder's access list cannot be read";
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // An inherit-only entry gives nothing on the folder itself.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & folder_write_rights) == 0) continue;
        const PSID sid = &allowed->SidStart;
        if (is_trusted_writer(sid, runner)) continue;
        return sid_text(sid) + " may write to the folder";
    }
    return {};
}

bool may_start_program(const std::wstring& file) {
    const std::string refusal = start_refusal(file);
    if (refusal.empty()) return true;
    replay::log::message(L"Program not started: \"%ls\": %ls", file.c_str(),
                         replay::unicode::to_wide(refusal, replay::unicode::utf8).c_str());
    return false;
}

bool is_process_running(const std::string& name) {
    bool found = false;
    walk_processes([&](const PROCESSENTRY32& entry) {
        found = matches(entry.szExeFile, name);
        return !found;
    });
    return found;
}

void terminate_processes_by_name(const std::string& name) {
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    bool parent_known = false;
    std::set<DWORD> targets;
    walk_processes([&](const PROCESSENTRY32& entry) {
        if (entry.th32ProcessID == self) {
            // The product may have started the remover: its parent survives.
            parent = entry.th32ParentProcessID;
            parent_known = true;
        } else if (matches(entry.szExeFile, name)) {
            targets.insert(entry.th32ProcessID);
        }
        return true;
    });
    for (DWORD id : targets) {
        if (parent_known && id == parent) continue;
        if (terminate_process(id)) continue;
        privilege_scope debug("SeDebugPrivilege");
        terminate_process(id);
    }
}

std::string process_name_for_snapshot(const std::string& name) {
    if (is_windows_2000() && name.size() > windows_2000_snapshot_name_chars) {
        return name.substr(0, windows_2000_snapshot_name_chars);
    }
    return name;
}

bool is_windows_2000() {
    const OSVERSIONINFOA info = os_version();
    return info.dwMajorVersion == 5 && info.dwMinorVersion == 0 &&
           info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

void close_process_by_name(const std::string& name) {
    const std::string short_name = process_name_for_snapshot(name);
    replay::log::message("Dealing with '%s' process ....", name.c_str());
    if (is_process_running(short_name)) {
        replay::log::message("Process with name '%s' is running, let us close it", short_name.c_str());
        terminate_processes_by_name(short_name);
    } else {
        replay::log::message("Process with name '%s' is NOT running ...", short_name.c_str());
    }
}

int launch_and_wait_for_exit_code(const std::wstring& file, const std::wstring& parameters,
                                  const std::wstring& directory) {
    replay::log::message(L"launch_and_wait_for_exit_code: \"%ls\" %ls", file.c_str(), parameters.c_str());
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = shell_execute_mask;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_HIDE;
    if (!may_start_program(file)) return 1;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        replay::log::message("ShellExecuteEx failed. Error: %d", static_cast<int>(error));
        return 1;
    }
    replay::process_handle process(info.hProcess);
    const DWORD waited = WaitForSingleObject(process.get(), program_timing().limit_ms);
    if (waited == WAIT_TIMEOUT) {
        // The program is left running: ending it could leave the suite half
        // removed, and the steps that follow deal with its process.
        replay::log::message("The program did not finish within %d s: no longer waiting for it",
                             static_cast<int>(program_timing().limit_ms / 1000));
        return 1;
    }
    if (waited == WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        if (GetExitCodeProcess(process.get(), &exit_code)) {
            replay::log::message("exit_code: %d", static_cast<int>(exit_code));
            return static_cast<int>(exit_code);
        }
        const DWORD error = GetLastError();
        replay::log::message("GetExitCodeProcess failed. Error: %d", static_cast<int>(error));
        return 1;
    }
    if (waited == WAIT_ABANDONED) {
        replay::log::message("WaitForSingleObject returned WAIT_ABANDONED");
        return 1;
    }
    const DWORD error = GetLastError();
    replay::log::message("WaitForSingleObject failed. Error: %d", static_cast<int>(error));
    return 1;
}

privilege_scope::privilege_scope(const char* privilege) : privilege_(privilege) {
    if (!OpenThreadToken(GetCurrentThread(), adjust_and_query, /*open_as_self=*/FALSE, token_.put()) &&
        !OpenProcessToken(GetCurrentProcess(), adjust_and_query, token_.put())) {
        return;
    }
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(/*system=*/nullptr, privilege_.c_str(), &wanted.Privileges[0].Luid)) return;
    DWORD previous_size = 0;
    adjusted_ = AdjustTokenPrivileges(token_.get(), /*disable_all=*/FALSE, &wanted, sizeof(previous_), &previous_,
                                      &previous_size) != FALSE;
}

privilege_scope::~privilege_scope() {
    if (adjusted_) {
        AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
}

}  // namespace remover
