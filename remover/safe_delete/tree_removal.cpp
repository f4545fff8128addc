#include "remover/safe_delete/internal.hpp"

#include "replay/format.hpp"
#include "replay/handle.hpp"

namespace remover {

using namespace detail;

namespace {

// Room for one batch of a folder listing.
constexpr size_t listing_room = 64 * 1024;

class tree_remover {
public:
    tree_outcome remove(const std::wstring& root) {
        if (!path_exists(root)) return {};
        DWORD error = 0;
        std::wstring checked;
        switch (check_links(root, &error, &checked)) {
            case link_state::unknown: raise("remove_all", error, root);
            case link_state::link: {
                // A root behind a link lies in the link's target: it stays whole.
                std::wstring parent;
                if (!parent_is_own(root, parent)) throw filesystem_error(link_text(root));
                if (remove_link_alone(root)) ++outcome_.removed;
                return std::move(outcome_);
            }
            case link_state::own: break;
        }
        const DWORD attributes = GetFileAttributesW(ext(root).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) raise("remove_all", GetLastError(), root);
        if (can_delete_by_handle()) return remove_by_handle(root, checked, attributes);
        notify_checked(root);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_by_path(root, attributes, /*holds_kept=*/false);
            return std::move(outcome_);
        }
        std::wstring resolved = root;
        if (can_resolve()) {
            const auto found = resolved_path(ext(root), error);
            if (!found) raise("remove_all", error, root);
            resolved = *found;
        }
        const bool holds_kept = walk(root, resolved);
        remove_by_path(root, attributes, holds_kept);
        return std::move(outcome_);
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
    tree_outcome remove_by_handle(const std::wstring& root, const std::wstring& resolved, DWORD attributes) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        replay::file_handle handle;
        bool link = false;
        DWORD error = open_confirmed(root, resolved, folder, (attributes & FILE_ATTRIBUTE_READONLY) != 0, handle,
                                     attributes, link);
        // Replaced by a link since its path was checked: a handle that leads
        // elsewhere leaves it, the link's own handle removes it alone.
        if (error == link_not_removed) return std::move(outcome_);
        if (error != 0) {
            keep(root, error, /*opened=*/false, folder);
            return std::move(outcome_);
        }
        if (link) {
            if (delete_through(handle.get(), 0) == 0) ++outcome_.removed;
            return std::move(outcome_);
        }
        std::wstring name;
        if (!object_name(handle.get(), name_buffer_, name, error)) raise("remove_all", error, root);
        notify_checked(root);
        bool holds_kept = false;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            std::vector<listed_entry> entries;
            if (!list(handle.get(), root, entries)) return std::move(outcome_);
            holds_kept = walk_by_handle(root, handle.get(), name, std::move(entries));
        }
        delete_entry(handle.get(), root, attributes, holds_kept);
        return std::move(outcome_);
    }

    // Lists a folder through its open handle; a folder that cannot be listed
    // stays, and false is returned.
    bool list(HANDLE folder, const std::wstring& path, std::vector<listed_entry>& entries) {
        FILE_INFO_BY_HANDLE_CLASS batch = FileIdBothDirectoryRestartInfo;
        for (;;) {
            if (!get_file_information(folder, batch, listing_buffer_.data(),
                                      static_cast<DWORD>(listing_buffer_.size()))) {
                const DWORD error = GetLastError();
                if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) return true;
                keep(path, error, /*opened=*/true, /*folder=*/true);
                return false;
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
    // kept: it could not be opened or checked, and stays as reported.
    enum class opened { own, link, elsewhere, kept };

    // Opens an entry of a folder held open (listed with attributes) and checks
    // it on that handle, which must be known by the entry's own name below the
    // folder (expected), and for a folder or a listed link say whether it is a
    // link. A file's handle needs only its name: where it is a link itself,
    // deleting through it removes the link alone, as for a listed link.
    // Attributes become the handle's where it was asked.
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
            keep(path, error, /*opened=*/false, folder);
            return opened::kept;
        }
        bool link = false;
        if (folder || listed_link) link = handle_is_link(handle.get(), attributes, error);
        if (error == 0) object_name(handle.get(), name_buffer_, name, error);  // sets error when it fails
        if (error != 0) {
            keep(path, error, /*opened=*/true, folder);
            return opened::kept;
        }
        if (name != expected && !same_name(name, expected)) return opened::elsewhere;
        return link ? opened::link : opened::own;
    }

    // One folder being emptied by walk_by_handle: held open through its
    // handle, with its listing and whether something in it had to stay.
    struct level {
        replay::file_handle owned;  // empty for the walk's own root
        HANDLE handle;
        DWORD attributes;
        size_t path_length;  // of its path in walk_by_handle's path
        std::vector<listed_entry> entries;
        size_t next = 0;
        bool holds_kept = false;
    };

    // Removes everything it can below a folder held open (its handle is known
    // as folder_name, its listing is entries); returns whether something in it
    // stayed. The folders being emptied are kept in a list, one per level, not
    // on the call stack: a tree of any depth costs memory in proportion to its
    // depth and ends no run by overflowing the stack.
    bool walk_by_handle(const std::wstring& folder, HANDLE handle, const std::wstring& folder_name,
                        std::vector<listed_entry> entries) {
        std::wstring path = folder;       // of the entry at hand
        std::wstring name = folder_name;  // the name its folder's handle is known by
        std::vector<level> levels;
        levels.push_back(level{replay::file_handle(), handle, 0, path.size(), std::move(entries), 0, false});
        std::vector<size_t> name_lengths{name.size()};
        for (;;) {
            level& top = levels.back();
            path.resize(top.path_length);
            name.resize(name_lengths.back());
            if (top.next == top.entries.size()) {
                if (levels.size() == 1) return top.holds_kept;
                // Emptied as far as it goes: the folder goes through its own
                // handle, or stays and so does its parent.
                level done = std::move(top);
                levels.pop_back();
                name_lengths.pop_back();
                if (!delete_entry(done.handle, path, done.attributes, done.holds_kept))
                    levels.back().holds_kept = true;
                continue;
            }
            const listed_entry& entry = top.entries[top.next++];
            path += L"\\" + entry.name;
            replay::file_handle child;
            DWORD attributes = entry.attributes;
            std::wstring child_name;
            const opened state =
                open_checked(top.handle, entry.name, path, name + L"\\" + entry.name, child, attributes, child_name);
            // A link is never entered: its target is not the product's. Its own
            // handle removes it alone; where every handle reaches the target,
            // it stays.
            if (state == opened::link && delete_through(child.get(), 0) == 0) {
                ++outcome_.removed;
                continue;
            }
            if (state == opened::link || state == opened::elsewhere) keep_link(path);
            if (state != opened::own) {
                top.holds_kept = true;
                continue;
            }
            notify_checked(path);
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (!delete_entry(child.get(), path, attributes, false)) top.holds_kept = true;
                continue;
            }
            std::vector<listed_entry> listed;
            if (!list(child.get(), path, listed)) {
                top.holds_kept = true;
                continue;
            }
            const HANDLE raw = child.get();
            levels.push_back(level{std::move(child), raw, attributes, path.size(), std::move(listed), 0, false});
            name = std::move(child_name);
            name_lengths.push_back(name.size());
        }
    }

    // Deletes an entry through its handle; holds_kept tells that something
    // stayed inside a folder, which is then not empty because of it. Returns
    // whether it went.
    bool delete_entry(HANDLE handle, const std::wstring& path, DWORD attributes, bool holds_kept) {
        const DWORD error = delete_through(handle, attributes);
        if (error == 0) {
            ++outcome_.removed;
            return true;
        }
        keep(path, error, /*opened=*/true, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
             holds_kept && error == ERROR_DIR_NOT_EMPTY);
        return false;
    }

    static std::string link_text(const std::wstring& link) {
        return replay::format("remove_all: a link is not followed and stays: \"%s\"", to_ansi(link).c_str());
    }

    void keep(const std::wstring& path, DWORD error, bool opened, bool folder, bool holds_kept = false) {
        outcome_.kept.push_back(
            kept_entry{path, error, opened, folder, holds_kept, failure_text("remove_all", error, path)});
    }

    void keep_link(const std::wstring& path) {
        outcome_.kept.push_back(kept_entry{path, link_not_removed, false, false, false, link_text(path)});
    }

    // Removes everything it can below a folder by path; returns whether
    // something in it stayed.
    bool walk(const std::wstring& folder, const std::wstring& resolved_folder) {
        std::vector<WIN32_FIND_DATAW> entries;
        {
            WIN32_FIND_DATAW entry;
            replay::find_handle search(FindFirstFileW((ext(folder) + L"\\*").c_str(), &entry));
            if (!search) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) return false;
                keep(folder, error, /*opened=*/false, /*folder=*/true);
                return true;
            }
            do {
                if (!is_dot_entry(entry.cFileName)) entries.push_back(entry);
            } while (FindNextFileW(search.get(), &entry));
        }
        bool holds_kept = false;
        for (const WIN32_FIND_DATAW& entry : entries) {
            const std::wstring path = folder + L"\\" + entry.cFileName;
            DWORD error = 0;
            switch (check_entry(path, resolved_folder, entry.cFileName, entry.dwFileAttributes, error)) {
                case link_state::unknown:
                    keep(path, error, /*opened=*/false, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
                    holds_kept = true;
                    continue;
                case link_state::link:
                    // A link is never entered: its target is not the product's.
                    if (remove_link_alone(path)) {
                        ++outcome_.removed;
                    } else {
                        keep_link(path);
                        holds_kept = true;
                    }
                    continue;
                case link_state::own: break;
            }
            notify_checked(path);
            const bool below = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                               walk(path, resolved_folder + L"\\" + entry.cFileName);
            if (!remove_by_path(path, entry.dwFileAttributes, below)) holds_kept = true;
        }
        return holds_kept;
    }

    // Removes a file or an emptied folder by its path; returns whether it
    // went. A path-based deletion cannot tell an entry in use from one its
    // access list refuses, so it counts as not opened.
    bool remove_by_path(const std::wstring& path, DWORD attributes, bool holds_kept) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(ext(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (folder ? RemoveDirectoryW(ext(path).c_str()) : DeleteFileW(ext(path).c_str())) {
            ++outcome_.removed;
            return true;
        }
        const DWORD error = GetLastError();
        keep(path, error, /*opened=*/false, folder, holds_kept && error == ERROR_DIR_NOT_EMPTY);
        return false;
    }

    tree_outcome outcome_;
    std::vector<unsigned char> name_buffer_ = std::vector<unsigned char>(object_name_room);
    std::vector<unsigned char> listing_buffer_ = std::vector<unsigned char>(listing_room);
};

}  // namespace

tree_outcome remove_tree_reporting(const std::string& path) {
    const std::wstring full = full_path(from_ansi(path));
    if (full.empty()) return {};
    return tree_remover().remove(full);
}

std::uintmax_t remove_tree(const std::string& path) {
    const tree_outcome outcome = remove_tree_reporting(path);
    if (!outcome.kept.empty()) throw filesystem_error(outcome.kept.front().message);
    return outcome.removed;
}

tree_removal_seams& test_seams() { return installed_seams; }

}  // namespace remover
