#pragma once
// The product's registrations in the Windows Installer database, removed by
// editing the registry directly. The product is known only by its upgrade
// code: the product codes to remove are the value names under its entry, and
// a component is the product's when it carries a value named by one of them.
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "replay/registry2/key.hpp"

namespace remover {

// The 32-character form of a GUID that Windows Installer names its keys
// with; its own inverse. Raises replay::exception for fewer than 32
// hexadecimal digits.
std::wstring pack_guid(const std::wstring& guid);
// The braced GUID text of a packed code.
std::wstring unpack_guid(const std::wstring& packed);

// Cleans the Windows Installer database of the product with this upgrade
// code and logs every step; never raises. In a 32-bit process on 64-bit
// Windows every key of the local machine is reached in the 64-bit view, where
// Windows Installer keeps it. A product code found in a user's hive applies
// only to that user's stores (that hive, and the machine's UserData\<SID>);
// only the machine's stores lower the SharedDlls counters. Everything found
// below a root takes the scope of the hive the root's Installer key lies in:
// keys below a root are opened without following registry links, and a link
// there is passed over (an upgrade code that is one is deleted as the link).
void clean_installer_database(const std::wstring& upgrade_code);

// What tests change: every key's hive is taken as one the system cannot name.
struct installer_seams {
    bool hive_names_unknown = false;
};
installer_seams& installer_test_seams();

// The state of one cleaning; a new one has found nothing yet.
class installer_database_cleaner {
public:
    installer_database_cleaner() = default;
    installer_database_cleaner(const installer_database_cleaner&) = delete;
    installer_database_cleaner& operator=(const installer_database_cleaner&) = delete;

    // The whole cleaning, as clean_installer_database describes it.
    void clean(const std::wstring& upgrade_code);

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

    // The number of keys the last walks visited, for the benchmark.
    std::uint64_t keys_visited() const { return visited_; }

private:
    struct numbered {
        unsigned number;
        std::unique_ptr<replay::registry2::key> key;
        REGSAM view;  // KEY_WOW64_64KEY for the local machine of a 32-bit process
        // Whose registrations a store holds: empty for the machine's, a
        // user's SID, or nothing when its hive is unknown. For a root: whose
        // hive the walk found it in.
        std::optional<std::wstring> scope;
        bool machine_hive;  // it lies in the machine's hive
    };

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
    void use_fixed_roots();
    void find_stores();
    void clean_upgrade_codes(const numbered& root);
    void clean_products(const numbered& store);
    void clean_components(const numbered& store);
    bool applies(const std::wstring& code, const numbered& store) const;
    bool release_component(const replay::registry2::key& component, const numbered& store);
    void decrement_key_file_counters(const replay::registry2::key& shared_dlls);

    std::uint32_t counter = 0;
    std::vector<numbered> roots;
    std::vector<numbered> stores;
    std::set<std::wstring> upgrade_codes;
    // Each product code with the scopes of the entries that named it: a code
    // from a user's hive speaks only for that user's stores.
    std::map<std::wstring, std::set<std::wstring>> product_codes;
    std::set<std::wstring> key_files;
    REGSAM current_view_ = 0;
    std::uint64_t visited_ = 0;
    // Where the walk puts the roots it finds while collecting, and the key it
    // looks out for; numbered and logged at once otherwise.
    std::vector<found_root>* collecting_ = nullptr;
    watch* watch_ = nullptr;
};

// Whether this is a 32-bit process on 64-bit Windows (IsWow64Process, looked
// up at run time; false where it is missing).
bool running_under_wow64();

// Removes the per-user component registrations of the local machine whose
// key path holds `text` (case ignored) where it starts the path or follows a
// backslash (holds_path_part), with the first subkey of each.
// Logs every removal and failure; never raises.
void remove_installer_components(const std::wstring& text);

}  // namespace remover
