#include "remover/files/profile_folders.hpp"

#include <windows.h>

#include "remover/common/profiles.hpp"
#include "remover/files/files.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

std::optional<std::vector<std::wstring>> profile_folders() {
    const profile_list& profiles = machine_profiles();
    if (profiles.root.empty() && profiles.users.empty()) return std::nullopt;
    std::vector<std::wstring> folders;
    if (!profiles.root.empty()) {
        const std::wstring root = profiles.root + L"\\";
        WIN32_FIND_DATAW entry;
        replay::find_handle search(FindFirstFileW((root + L"*").c_str(), &entry));
        if (!search) {
            const DWORD error = GetLastError();
            throw filesystem_error(replay::format("directory_iterator: %s: \"%s\"",
                                                  replay::system_error_text(error).c_str(),
                                                  replay::unicode::to_ansi(root).c_str()));
        }
        do {
            // Each entry's path is later joined with more and converted.
            if (joinable_name(entry.cFileName)) folders.push_back(root + entry.cFileName);
        } while (FindNextFileW(search.get(), &entry));
    }
    for (const user_profile& user : profiles.users) {
        bool listed = false;
        for (const std::wstring& folder : folders) listed = listed || replay::unicode::same_name(folder, user.folder);
        if (!listed) folders.push_back(user.folder);
    }
    return folders;
}

}  // namespace remover
