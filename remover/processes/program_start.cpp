#include "remover/processes/program_start.hpp"

#include <vector>

#include "remover/common/trust.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

// Why the program cannot be started: not on a local drive, a link on its
// path, or its folder or the file open to other writers or owned by another
// account. Empty when it may be started; `missing` is set when the file or a
// folder above it does not exist, which leaves nothing to start.
std::string start_refusal(const std::wstring& file, bool& missing) {
    missing = false;
    const std::string shown = replay::unicode::to_narrow(file, replay::unicode::utf8, /*strict=*/false);
    // A share or device path can name any disk another way, and what lies
    // on another machine is not this machine's administrators' alone.
    if (!is_local_drive_path(file)) return replay::format("\"%s\" is not a path on a local drive", shown.c_str());
    const size_t root = file.find(L'\\');
    if (root == std::wstring::npos) return replay::format("\"%s\" is not a full path", shown.c_str());
    // Each folder below the root, then the file itself. Every path-based
    // call follows a link in a parent component, so each is checked.
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
        const std::string part = replay::unicode::to_narrow(path, replay::unicode::utf8, /*strict=*/false);
        if (state == link_state::link) return replay::format("\"%s\" is a link", part.c_str());
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return replay::format("\"%s\" cannot be examined (error %d)", part.c_str(), static_cast<int>(error));
        }
        missing = true;
        // A missing folder holds nothing; a missing file's folder is still
        // checked: whoever may write it could put the file there later.
        if (path != file) return {};
        break;
    }
    const size_t last = file.rfind(L'\\');
    const std::wstring folder = last <= root ? file.substr(0, last + 1) : file.substr(0, last);
    const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION;
    const descriptor_read folder_read = read_descriptor(folder, parts);
    if (!folder_read.descriptor) {
        return replay::format("the folder's access list cannot be read (error %d)", static_cast<int>(folder_read.error));
    }
    descriptor_read file_read;
    if (!missing) {
        file_read = read_descriptor(file, parts);
        if (!file_read.descriptor) {
            return replay::format("the file's access list cannot be read (error %d)", static_cast<int>(file_read.error));
        }
    }
    const std::vector<BYTE> user = running_account();
    const PSID runner = account_sid(user);
    return program_refusal(folder_read.descriptor.get(), file_read.descriptor.get(), runner,
                           only_owner_shown() ? runner : nullptr);
}

}  // namespace

bool may_start_program(const std::wstring& file) {
    bool missing = false;
    const std::string refusal = start_refusal(file, missing);
    if (refusal.empty()) return !missing;
    replay::log::message(L"Program not started: \"%ls\": %ls", file.c_str(),
                         replay::unicode::to_wide(refusal, replay::unicode::utf8).c_str());
    return false;
}

}  // namespace remover
