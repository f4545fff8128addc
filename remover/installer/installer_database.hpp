#pragma once
// The product's registrations in the Windows Installer database, removed by
// editing the registry directly. The product is known only by its upgrade
// code: the product codes to remove are the value names under its entry, and
// a component is the product's when it carries a value named by one of them.
// The roots are found by installer_roots.hpp; this unit finds the stores
// below them and cleans them.
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "remover/installer/installer_roots.hpp"
#include "replay/registry2/key.hpp"

namespace remover {

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

private:
    void find_stores();
    void clean_upgrade_codes(const numbered_key& root);
    void clean_products(const numbered_key& store);
    void clean_components(const numbered_key& store);
    bool applies(const std::wstring& code, const numbered_key& store) const;
    bool release_component(const replay::registry2::key& component, const numbered_key& store);
    void decrement_key_file_counters(const replay::registry2::key& shared_dlls);

    std::uint32_t counter = 0;
    std::vector<numbered_key> roots;
    std::vector<numbered_key> stores;
    std::set<std::wstring> upgrade_codes;
    // Each product code with the scopes of the entries that named it: a code
    // from a user's hive speaks only for that user's stores.
    std::map<std::wstring, std::set<std::wstring>> product_codes;
    std::set<std::wstring> key_files;
};

}  // namespace remover
