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
    std::uintmax_t remove(const std::wstring& root) {
        if (!path_exists(root)) return 0;
        DWORD error = 0;
        std::wstring checked;
        switch (check_links(root, &error, &checked)) {
            case link_state::unknown: raise("remove_all", error, root);
            case link_state::link: {
                // A root behind a link lies in the link's target: it stays whole.
                std::wstring parent;
                if (!parent_is_own(root, parent)) raise_kept(root);
                return remove_link_alone(root) ? 1 : 0;
            }
            case link_state::own: break;
        }
        const DWORD attributes = GetFileAttributesW(ext(root).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) raise("remove_all", GetLastError(), root);
        if (can_delete_by_handle()) return remove_by_handle(root, checked, attributes);
        notify_checked(root);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_file(root, attributes);
            return removed_;
        }
        std::wstring resolved = root;
        if (can_resolve()) {
            const auto found = resolved_path(root, error);
            if (!found) raise("remove_all", error, root);
            resolved = *found;
        }
        const std::wstring kept = walk(root, resolved);
        remove_folder(root, attributes, kept);
        return removed_;
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
    std::uintmax_t remove_by_handle(const std::wstring& root, const std::wstring& resolved, DWORD attributes) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        replay::file_handle handle;
        bool link = false;
        DWORD error = open_confirmed(root, resolved, folder, (attributes & FILE_ATTRIBUTE_READONLY) != 0, handle,
                                     attributes, link);
        // Replaced by a link since its path was checked: a handle that leads
        // elsewhere leaves it, the link's own handle removes it alone.
        if (error == link_not_removed) return 0;
        if (error != 0) raise("remove_all", error, root);
        if (link) return delete_through(handle.get(), 0) == 0 ? 1 : 0;
        std::wstring name;
        if (!object_name(handle.get(), name_buffer_, name, error)) raise("remove_all", error, root);
        notify_checked(root);
        const std::wstring kept =
            (attributes & FILE_ATTRIBUTE_DIRECTORY) ? walk_by_handle(root, handle.get(), name) : std::wstring();
        delete_entry(handle.get(), root, attributes, kept);
        return removed_;
    }

    // Lists a folder through its open handle.
    std::vector<listed_entry> list(HANDLE folder, const std::wstring& path) {
        std::vector<listed_entry> entries;
        FILE_INFO_BY_HANDLE_CLASS batch = FileIdBothDirectoryRestartInfo;
        for (;;) {
            if (!get_file_information(folder, batch, listing_buffer_.data(),
                                      static_cast<DWORD>(listing_buffer_.size()))) {
                const DWORD error = GetLastError();
                if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) return entries;
                raise("remove_all", error, path);
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
    enum class opened { own, link, elsewhere };

    // Opens an entry of a folder held open (listed with attributes) and checks
    // it on that handle, which must be known by the entry's own name below the
    // folder (expected), and for a folder or a listed link say whether it is a
    // link. A file's handle needs only its name: where it is a link itself,
    // deleting through it removes the link alone, as for a listed link.
    // Raises for failures; attributes become the handle's where it was asked.
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
            raise("remove_all", error, path);
        }
        bool link = false;
        if (folder || listed_link) {
            link = handle_is_link(handle.get(), attributes, error);
            if (error != 0) raise("remove_all", error, path);
        }
        if (!object_name(handle.get(), name_buffer_, name, error)) raise("remove_all", error, path);
        if (name != expected && !same_name(name, expected)) return opened::elsewhere;
        return link ? opened::link : opened::own;
    }

    // One folder being emptied by walk_by_handle: held open through its
    // handle, with its listing and the first link that had to stay in it.
    struct level {
        replay::file_handle owned;  // empty for the walk's own root
        HANDLE handle;
        DWORD attributes;
        size_t path_length;  // of its path in walk_by_handle's path
        std::vector<listed_entry> entries;
        size_t next = 0;
        std::wstring kept;
    };

    // Removes everything below a folder held open (its handle is known as
    // folder_name); returns the first link that had to stay in it, if any.
    // The folders being emptied are kept in a list, one per level, not on the
    // call stack: a tree of any depth costs memory in proportion to its depth
    // and ends no run by overflowing the stack.
    std::wstring walk_by_handle(const std::wstring& folder, HANDLE handle, const std::wstring& folder_name) {
        std::wstring path = folder;       // of the entry at hand
        std::wstring name = folder_name;  // the name its folder's handle is known by
        std::vector<level> levels;
        levels.push_back(level{replay::file_handle(), handle, 0, path.size(), list(handle, path), 0, {}});
        std::vector<size_t> name_lengths{name.size()};
        for (;;) {
            level& top = levels.back();
            path.resize(top.path_length);
            name.resize(name_lengths.back());
            if (top.next == top.entries.size()) {
                if (levels.size() == 1) return top.kept;
                // Emptied: the folder goes through its own handle.
                level done = std::move(top);
                levels.pop_back();
                name_lengths.pop_back();
                delete_entry(done.handle, path, done.attributes, done.kept);
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
                ++removed_;
                continue;
            }
            if (state != opened::own) {
                if (top.kept.empty()) top.kept = path;
                continue;
            }
            notify_checked(path);
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                delete_entry(child.get(), path, attributes, std::wstring());
                continue;
            }
            std::vector<listed_entry> entries = list(child.get(), path);
            const HANDLE raw = child.get();
            levels.push_back(level{std::move(child), raw, attributes, path.size(), std::move(entries), 0, {}});
            name = std::move(child_name);
            name_lengths.push_back(name.size());
        }
    }

    // kept names a link that stayed inside a folder, if any: the folder is
    // then not empty because of it.
    void delete_entry(HANDLE handle, const std::wstring& path, DWORD attributes, const std::wstring& kept) {
        const DWORD error = delete_through(handle, attributes);
        if (error == 0) {
            ++removed_;
            return;
        }
        if (!kept.empty() && error == ERROR_DIR_NOT_EMPTY) raise_kept(kept);
        raise("remove_all", error, path);
    }

    [[noreturn]] static void raise_kept(const std::wstring& kept) {
        throw filesystem_error(
            replay::format("remove_all: a link is not followed and stays: \"%s\"", to_ansi(kept).c_str()));
    }

    // Removes everything below a folder; returns the first link that had to
    // stay in it, if any.
    std::wstring walk(const std::wstring& folder, const std::wstring& resolved_folder) {
        std::vector<WIN32_FIND_DATAW> entries;
        {
            WIN32_FIND_DATAW entry;
            replay::find_handle search(FindFirstFileW((ext(folder) + L"\\*").c_str(), &entry));
            if (!search) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) return std::wstring();
                raise("remove_all", error, folder);
            }
            do {
                if (!is_dot_entry(entry.cFileName)) entries.push_back(entry);
            } while (FindNextFileW(search.get(), &entry));
        }
        std::wstring kept;
        for (const WIN32_FIND_DATAW& entry : entries) {
            const std::wstring path = folder + L"\\" + entry.cFileName;
            DWORD error = 0;
            switch (check_entry(path, resolved_folder, entry.cFileName, entry.dwFileAttributes, error)) {
                case link_state::unknown: raise("remove_all", error, path);
                case link_state::link:
                    // A link is never entered: its target is not the product's.
                    if (remove_link_alone(path)) {
                        ++removed_;
                    } else if (kept.empty()) {
                        kept = path;
                    }
                    continue;
                case link_state::own: break;
            }
            notify_checked(path);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                const std::wstring kept_below = walk(path, resolved_folder + L"\\" + entry.cFileName);
                remove_folder(path, entry.dwFileAttributes, kept_below);
            } else {
                remove_file(path, entry.dwFileAttributes);
            }
        }
        return kept;
    }

    void remove_file(const std::wstring& path, DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(ext(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (!DeleteFileW(ext(path).c_str())) raise("remove_all", GetLastError(), path);
        ++removed_;
    }

    // kept names a link that stayed inside the folder, if any: the folder is
    // then not empty because of it.
    void remove_folder(const std::wstring& path, DWORD attributes, const std::wstring& kept) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(ext(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (RemoveDirectoryW(ext(path).c_str())) {
            ++removed_;
            return;
        }
        const DWORD error = GetLastError();
        if (!kept.empty() && error == ERROR_DIR_NOT_EMPTY) raise_kept(kept);
        raise("remove_all", error, path);
    }

    std::uintmax_t removed_ = 0;
    std::vector<unsigned char> name_buffer_ = std::vector<unsigned char>(object_name_room);
    std::vector<unsigned char> listing_buffer_ = std::vector<unsigned char>(listing_room);
};

}  // namespace

std::uintmax_t remove_tree(const std::string& path) {
    const std::wstring full = full_path(from_ansi(path));
    if (full.empty()) return 0;
    return tree_remover().remove(full);
}

tree_removal_seams& test_seams() { return installed_seams; }

}  // namespace remover
