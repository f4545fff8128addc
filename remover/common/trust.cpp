#include "remover/common/trust.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

// Administrators, SYSTEM, TrustedInstaller.
constexpr const char* administrator_accounts[] = {
    "S-1-5-32-544", "S-1-5-18", "S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698"};

// CREATOR OWNER and CREATOR GROUP: placeholders that only pass rights on.
constexpr const char* creator_placeholders[] = {"S-1-3-0", "S-1-3-1"};

bool is_one_of(const std::string& text, const char* const* first, const char* const* last) {
    for (; first != last; ++first) {
        if (text == *first) return true;
    }
    return false;
}

bool may_write(PSID sid, writers who, PSID runner) {
    if (who == writers::administrators_and_runner && runner != nullptr && IsValidSid(runner) && EqualSid(sid, runner))
        return true;
    const std::string text = sid_text(sid);
    return is_one_of(text, std::begin(administrator_accounts), std::end(administrator_accounts)) ||
           is_one_of(text, std::begin(creator_placeholders), std::end(creator_placeholders));
}

}  // namespace

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return "an unreadable account";
    const replay::local_memory_handle owner(text);
    return replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
}

bool is_administrator_account(PSID sid) {
    return sid != nullptr && IsValidSid(sid) &&
           is_one_of(sid_text(sid), std::begin(administrator_accounts), std::end(administrator_accounts));
}

std::string write_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner, const char* object) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    const std::string unreadable = replay::format("%s's access list cannot be read", object);
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return unreadable;
    if (!present || dacl == nullptr) return replay::format("%s has no access list: everyone may write to it", object);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return unreadable;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // An inherit-only entry gives nothing on the object itself.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & write_rights) == 0) continue;
        const PSID sid = &allowed->SidStart;
        if (may_write(sid, who, runner)) continue;
        return sid_text(sid) + " may write to " + object;
    }
    return {};
}

std::string owner_refusal(PSECURITY_DESCRIPTOR descriptor, PSID also) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) return "its owner cannot be read";
    if (is_administrator_account(owner)) return {};
    if (also != nullptr && IsValidSid(also) && IsValidSid(owner) && EqualSid(owner, also)) return {};
    return "its owner " + sid_text(owner) + " is not an administrator";
}

descriptor_read read_descriptor(const std::wstring& path, SECURITY_INFORMATION parts) {
    descriptor_read read;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    read.error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (read.error == ERROR_SUCCESS) read.descriptor = replay::local_memory_handle(descriptor);
    return read;
}

bool only_owner_shown() {
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::string program_refusal(PSECURITY_DESCRIPTOR folder, PSECURITY_DESCRIPTOR file, PSID runner, PSID owner) {
    const std::pair<PSECURITY_DESCRIPTOR, const char*> objects[] = {{folder, "the folder"}, {file, "the file"}};
    for (const auto& [descriptor, object] : objects) {
        if (descriptor == nullptr) continue;
        std::string refusal = write_refusal(descriptor, writers::administrators_and_runner, runner, object);
        if (refusal.empty()) refusal = owner_refusal(descriptor, owner);
        if (!refusal.empty()) return std::string(object) + ": " + refusal;
    }
    return {};
}

std::string owner_refusal(const std::wstring& path) {
    const descriptor_read read = read_descriptor(path, OWNER_SECURITY_INFORMATION);
    if (!read.descriptor) return replay::format("its owner cannot be read (error %d)", static_cast<int>(read.error));
    const std::vector<BYTE> user = only_owner_shown() ? running_account() : std::vector<BYTE>();
    return owner_refusal(read.descriptor.get(), account_sid(user));
}

std::string path_refusal(const std::wstring& path, writers who, bool check_owner) {
    const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION | (check_owner ? OWNER_SECURITY_INFORMATION : 0);
    const descriptor_read read = read_descriptor(path, parts);
    if (!read.descriptor) {
        return replay::format("its access list cannot be read (error %d)", static_cast<int>(read.error));
    }
    const std::vector<BYTE> user = running_account();
    std::string refusal = write_refusal(read.descriptor.get(), who, account_sid(user));
    if (refusal.empty() && check_owner) {
        refusal = owner_refusal(read.descriptor.get(), only_owner_shown() ? account_sid(user) : nullptr);
    }
    return refusal;
}

std::string descriptor_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner, bool check_owner) {
    std::string refusal = write_refusal(descriptor, who, runner);
    if (refusal.empty() && check_owner) refusal = owner_refusal(descriptor);
    return refusal;
}

}  // namespace remover
