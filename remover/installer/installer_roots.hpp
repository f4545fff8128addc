#pragma once
// Where the registry holds Windows Installer data: every key with an
// Installer\UpgradeCodes subkey below the predefined roots is a root, and
// the roots are numbered in the log in the order they are found.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "replay/registry2/key.hpp"

namespace remover {

// A key of the Installer database with its number in the log: a root, or a
// store found below one.
struct numbered_key {
    unsigned number;
    std::unique_ptr<replay::registry2::key> key;
    REGSAM view;  // KEY_WOW64_64KEY for the local machine of a 32-bit process
    // Whose registrations a store holds: empty for the machine's, a
    // user's SID, or nothing when its hive is unknown. For a root: whose
    // hive the walk found it in.
    std::optional<std::wstring> scope;
    bool machine_hive;  // it lies in the machine's hive
};

// The search for the roots; a new one has found nothing yet.
class installer_root_search {
public:
    installer_root_search() = default;
    installer_root_search(const installer_root_search&) = delete;
    installer_root_search& operator=(const installer_root_search&) = delete;

    // The walk over one key and everything below it; appends the keys that
    // hold Installer\UpgradeCodes to the roots. Raises registry2 errors when
    // the key itself cannot be listed; a subkey that fails is skipped.
    // Registry links and VirtualStore branches are never entered.
    void find_installer_roots(const std::wstring& path, const replay::registry2::key& key, REGSAM view);

    // The search of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS and
    // HKEY_LOCAL_MACHINE, in that order, with the roots numbered and logged
    // as four walks of find_installer_roots would; each key the system keeps
    // once is read once where the system's names show that a root is a key of
    // another. Raises registry2 errors as find_installer_roots does.
    void search_roots();

    // In place of a search that failed: HKEY_CLASSES_ROOT and the machine's
    // CurrentVersion key, numbered 1 and 2. Raises registry2 errors when the
    // machine's key cannot be opened.
    void use_fixed_roots();

    // The roots found so far: number, the key's full name and its view.
    struct root_entry {
        unsigned number;
        std::wstring name;
        REGSAM view;
        bool operator==(const root_entry& other) const {
            return number == other.number && name == other.name && view == other.view;
        }
    };
    std::vector<root_entry> root_entries() const;

    // The roots found, in their order, handed over; and the last number
    // given, which the stores below them continue.
    std::vector<numbered_key> take_roots() { return std::move(roots); }
    std::uint32_t last_number() const { return counter; }

    // The number of keys the last walks visited, for the benchmark.
    std::uint64_t keys_visited() const { return visited_; }

private:
    // A root the walk found and holds without a number yet.
    struct found_root {
        std::wstring path;
        std::unique_ptr<replay::registry2::key> key;
    };
    // A key another predefined root stands for: where the walk should meet it
    // and the system's name it must bear; `walked` is its path as the walk
    // spelled it, set once the walk has listed it.
    struct watch {
        std::wstring path;
        std::wstring name;
        std::optional<std::wstring> walked;
    };
    void walk(std::wstring& path, const replay::registry2::key& key, REGSAM view);
    void found(const std::wstring& path, const replay::registry2::key& parent, REGSAM view);
    void number(const std::wstring& path, std::unique_ptr<replay::registry2::key> root, REGSAM view);
    void collect(const std::wstring& path, const replay::registry2::key& start, REGSAM view, watch& watched,
                 std::vector<found_root>& into);
    void number_below(std::vector<found_root>& found_roots, const watch& watched, const std::wstring& path,
                      HKEY predefined);

    std::uint32_t counter = 0;
    std::vector<numbered_key> roots;
    std::uint64_t visited_ = 0;
    // Where the walk puts the roots it finds while collecting, and the key it
    // looks out for; numbered and logged at once otherwise.
    std::vector<found_root>* collecting_ = nullptr;
    watch* watch_ = nullptr;
};

}  // namespace remover
