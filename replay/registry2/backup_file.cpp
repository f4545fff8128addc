#include "replay/registry2/backup_file.hpp"

#include <sddl.h>

#include "replay/account.hpp"
#include "replay/exception.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::registry2::detail {

namespace {

// Full access for Administrators and SYSTEM, nothing inherited: the file
// holds the machine's registry data for an administrator to import.
constexpr wchar_t administrators_only[] = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
// Appended to the name of an incomplete file that cannot be deleted.
constexpr wchar_t incomplete_suffix[] = L".incomplete";

// Whether the process token is a member of Administrators (an elevated run).
bool is_elevated() {
    const sid_handle administrators = administrators_sid();
    if (!administrators) return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(/*token=*/nullptr, administrators.get(), &member)) member = FALSE;
    return member != FALSE;
}

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

}  // namespace

std::wstring numbered(const std::wstring& name, int number) {
    if (number == 1) return name;
    const size_t dot = name.rfind(L'.');
    const std::wstring suffix = L"-" + std::to_wstring(number);
    return dot == std::wstring::npos ? name + suffix : name.substr(0, dot) + suffix + name.substr(dot);
}

backup_security::backup_security() {
    if (!is_elevated()) return;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(administrators_only, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return;
    }
    descriptor_.reset(descriptor);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
}

std::wstring discard_incomplete(file_handle& file, const std::wstring& path) {
    // Closed first: the file is shared for reading only, never for deletion.
    file.reset();
    if (DeleteFileW(path.c_str())) return L"the incomplete file was deleted";
    const std::wstring renamed = path + incomplete_suffix;
    if (MoveFileExW(path.c_str(), renamed.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return L"the incomplete file was renamed to " + quoted(renamed);
    }
    const DWORD error = GetLastError();
    std::wstring text;
    try {
        text = unicode::to_wide(system_error_text(error), unicode::ansi) + L" ";
    } catch (const unicode::generic&) {
    }
    return L"the incomplete file could not be deleted nor renamed: " + text + L"(error " + std::to_wstring(error) + L")";
}

}  // namespace replay::registry2::detail
