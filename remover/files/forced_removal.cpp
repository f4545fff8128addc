#include "remover/files/forced_removal.hpp"

#include <set>

#include "remover/common/run_outcome.hpp"
#include "remover/common/trust.hpp"
#include "remover/files/take_over.hpp"
#include "replay/log/exception_report.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;

restart_seams seams;

std::wstring parent_of(const std::wstring& path) {
    const size_t last = path.rfind(L'\\');
    if (last == std::wstring::npos) return {};
    // A drive root keeps its backslash.
    return last == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, last);
}

bool lies_below(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path[folder.size()] == L'\\' &&
           replay::unicode::starts_with_name(path, folder);
}

std::string utf8(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
}

// The form MoveFileExW is given: the extended-length one, so that no path is
// too long and no name is changed on its way.
std::wstring extended(const std::wstring& path) { return L"\\\\?\\" + path; }

}  // namespace

restart_seams& restart_test_seams() { return seams; }

bool refuses_administrators(const kept_entry& entry) {
    return entry.error == ERROR_ACCESS_DENIED && !entry.opened && !entry.holds_kept;
}

void take_over_refusing(const std::string& root_path, tree_outcome& outcome) {
    // Each round takes over at least one entry not taken before, of a tree
    // that only shrinks: the bound only guards against a system that keeps
    // answering access denied after a take-over that it reported done.
    constexpr int most_rounds = 64;
    std::set<std::wstring> taken;
    for (int round = 0; round < most_rounds; ++round) {
        bool any = false;
        for (const kept_entry& entry : outcome.kept) {
            if (!refuses_administrators(entry) || !taken.insert(entry.path).second) continue;
            if (take_over_file(entry.path) == ERROR_SUCCESS) any = true;
        }
        if (!any) return;
        const std::uintmax_t removed = outcome.removed;
        outcome = remove_tree_reporting(root_path);
        outcome.removed += removed;
    }
}

bool is_in_use(const kept_entry& entry) {
    switch (entry.error) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE: return !entry.folder;
        case ERROR_ACCESS_DENIED: return entry.opened && !entry.folder;
        default: return false;
    }
}

std::string restart_refusal(const std::wstring& path, const std::wstring& top) {
    DWORD error = 0;
    switch (check_links(path, &error)) {
        case link_state::own: break;
        case link_state::link: return "it is a link or lies behind one";
        case link_state::unknown: return "its links cannot be checked (error " + std::to_string(error) + ")";
    }
    for (std::wstring folder = parent_of(path);; folder = parent_of(folder)) {
        if (folder.empty() || folder.size() < top.size()) return "it does not lie below the folder removed";
        const std::string refusal = seams.folder_refusal != nullptr
                                        ? seams.folder_refusal(folder)
                                        : path_refusal(folder, writers::administrators, /*check_owner=*/true);
        if (!refusal.empty()) return refusal + " ('" + utf8(folder) + "')";
        if (folder.size() == top.size()) return {};
    }
}

std::vector<kept_entry> schedule_in_use(const std::wstring& root, std::vector<kept_entry> kept) {
    const std::wstring top = parent_of(root);
    std::vector<kept_entry> staying;
    for (kept_entry& entry : kept) {
        bool candidate = is_in_use(entry);
        if (entry.holds_kept) {
            candidate = true;
            for (const kept_entry& below : staying) {
                if (lies_below(below.path, entry.path)) candidate = false;
            }
        }
        if (candidate) {
            const std::string refusal = restart_refusal(entry.path, top);
            if (refusal.empty() && MoveFileExW(extended(entry.path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
                log::message(L"Scheduled for removal at the next restart: '%s'", entry.path.c_str());
                outcome::scheduled(entry.path);
                continue;
            }
            const DWORD queue_error = refusal.empty() ? GetLastError() : 0;
            if (!entry.holds_kept) {
                const std::string why =
                    refusal.empty() ? "it could not be queued (error " + std::to_string(queue_error) + ")" : refusal;
                log::message(L"Not scheduled for removal at the next restart: '%s': %s", entry.path.c_str(),
                             replay::unicode::to_wide(why, replay::unicode::utf8).c_str());
            }
        }
        staying.push_back(std::move(entry));
    }
    return staying;
}

void report_kept(const std::vector<kept_entry>& kept) {
    for (const kept_entry& entry : kept) {
        if (entry.holds_kept) continue;
        if (entry.error == link_not_removed) {
            outcome::kept(entry.path, outcome::reason_link);
        } else {
            outcome::failed(entry.path, entry.error);
        }
        try {
            throw filesystem_error(entry.message);
        } catch (const replay::exception& e) {
            replay::log_current_exception(e.message(), log::instance());
        }
    }
}

void log_restart_summary() {
    const size_t count = outcome::entries(outcome::kind::scheduled).size();
    if (count == 0) return;
    log::message("%u file(s) and folder(s) are scheduled for removal at the next restart: "
                 "restart Windows to complete the removal.",
                 static_cast<unsigned>(count));
}

}  // namespace remover
