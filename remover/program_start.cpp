#include "remover/program_start.hpp"

#include <vector>

#include "remover/safe_delete.hpp"
#include "remover/trust.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

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
    return path_refusal(folder, writers::administrators_and_runner, /*check_owner=*/false);
}

}  // namespace

bool may_start_program(const std::wstring& file) {
    const std::string refusal = start_refusal(file);
    if (refusal.empty()) return true;
    replay::log::message(L"Program not started: \"%ls\": %ls", file.c_str(),
                         replay::unicode::to_wide(refusal, replay::unicode::utf8).c_str());
    return false;
}

}  // namespace remover
