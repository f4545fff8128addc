#include "remover/program_start.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "remover/safe_delete.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

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

// The SID in its S-1-... form; "an unreadable account" when it cannot be
// converted.
std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "an unreadable account";
    const replay::local_memory_handle owner(text);
    return replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
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
    // The deletions' own link check, which also tells a link to a file
    // where the system shows it as a plain file.
    for (const std::wstring& path : paths) {
        DWORD error = 0;
        const link_state state = check_links(path, &error);
        if (state == link_state::own) continue;
        const std::string shown = replay::unicode::to_narrow(path, replay::unicode::utf8, /*strict=*/false);
        if (state == link_state::link) return replay::format("\"%s\" is a link", shown.c_str());
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
        return replay::format("\"%s\" cannot be examined (error %d)", shown.c_str(), static_cast<int>(error));
    }
    const size_t last = file.rfind(L'\\');
    const std::wstring folder = last <= root ? file.substr(0, last + 1) : file.substr(0, last);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return replay::format("its folder's access list cannot be read (error %d)", static_cast<int>(error));
    const replay::local_memory_handle owner(descriptor);
    const std::vector<BYTE> user = running_account();
    const PSID runner = user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    return folder_write_refusal(descriptor, runner);
}

}  // namespace

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

}  // namespace remover
