// The search for Windows Installer roots reads each key once, and finds what
// four walks of the predefined roots in turn find: the same roots, numbers
// and log lines. The four walks are kept here as the reference.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "remover/common/windows_version.hpp"
#include "remover/installer/installer_roots.hpp"
#include "replay/registry2/key.hpp"
#include "support/log_capture.hpp"
#include "support/registry_link.hpp"
#include "support/scratch_key.hpp"

namespace {

using remover::installer_root_search;
using replay::registry2::key;

const std::wstring USER = L"S-1-5-21-7-7-7-1001";
const std::wstring OTHER_USER = L"S-1-5-21-7-7-7-1002";
const std::wstring CODES = L"Installer\\UpgradeCodes\\E2C3F1A6D4B970E45A8CD3E2170F9BA4";

// A machine hive and a users' hive in scratch keys, with HKEY_LOCAL_MACHINE
// and HKEY_USERS redirected to them, HKEY_CLASSES_ROOT to the machine's
// classes and HKEY_CURRENT_USER to one user's hive, as the system lays them
// out; a case may point them elsewhere.
class layout {
public:
    layout() {
        for (const auto* scratch : {&machine_, &users_}) {
            if (scratch->status() != ERROR_SUCCESS) status_ = scratch->status();
        }
        if (status_ != ERROR_SUCCESS) return;
        status_ = redirect(HKEY_LOCAL_MACHINE, machine_.get(), L"");
        if (status_ == ERROR_SUCCESS) status_ = redirect(HKEY_USERS, users_.get(), L"");
        if (status_ == ERROR_SUCCESS) status_ = redirect(HKEY_CLASSES_ROOT, machine_.get(), L"SOFTWARE\\Classes");
        if (status_ == ERROR_SUCCESS) status_ = redirect(HKEY_CURRENT_USER, users_.get(), USER);
    }
    layout(const layout&) = delete;
    layout& operator=(const layout&) = delete;
    ~layout() {
        for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS, HKEY_LOCAL_MACHINE}) {
            RegOverridePredefKey(root, nullptr);
        }
        // Links first, as links: the scratch keys' clean-up would follow them.
        for (const auto& [hive, path] : links_) {
            try {
                replay::registry2::delete_key(key(hive), path, /*recursive=*/true);
            } catch (...) {
            }
        }
    }

    LSTATUS status() const { return status_; }
    HKEY machine() const { return machine_.get(); }
    HKEY users() const { return users_.get(); }

    // Points `root` at hive\path, made when missing.
    LSTATUS redirect(HKEY root, HKEY hive, const std::wstring& path) {
        replay::unique_hkey target;
        const LSTATUS made =
            RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.put(), nullptr);
        if (made != ERROR_SUCCESS) return made;
        return RegOverridePredefKey(root, target.get());
    }

    void plant(HKEY hive, const std::wstring& path) const {
        replay::unique_hkey made;
        ASSERT_EQ(RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, made.put(), nullptr),
                  ERROR_SUCCESS);
    }

    // A registry link at hive\path to the key hive\target.
    void link(HKEY hive, const std::wstring& path, const std::wstring& target) {
        replay::unique_hkey to;
        ASSERT_EQ(RegCreateKeyExW(hive, target.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, to.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(test_support::make_link(hive, path, to.get()));
        links_.emplace_back(hive, path);
    }

    // A key at hive\path that nobody may open, with a root below it.
    void lock(HKEY hive, const std::wstring& path) const {
        ASSERT_NO_FATAL_FAILURE(plant(hive, path + L"\\" + CODES));
        replay::unique_hkey locked;
        ASSERT_EQ(RegOpenKeyExW(hive, path.c_str(), 0, WRITE_DAC, locked.put()), ERROR_SUCCESS);
        ASSERT_EQ(test_support::set_key_dacl(locked.get(), L"D:P"), ERROR_SUCCESS);
        replay::unique_hkey probe;
        ASSERT_EQ(RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, probe.put()), ERROR_ACCESS_DENIED);
    }

private:
    test_support::scratch_key machine_{HKEY_LOCAL_MACHINE};
    test_support::scratch_key users_{HKEY_CURRENT_USER};
    std::vector<std::pair<HKEY, std::wstring>> links_;
    LSTATUS status_ = ERROR_SUCCESS;
};

// What one search found: the log, the roots, whether it raised, and how many
// keys it read.
struct outcome {
    std::vector<std::string> lines;
    std::vector<installer_root_search::root_entry> roots;
    bool raised = false;
    std::uint64_t visited = 0;
};

// What a search (`search` on a new root search) logs, finds and reads.
outcome searched_by(test_support::log_capture& log, const std::function<void(installer_root_search&)>& search) {
    log.clear();
    outcome result;
    installer_root_search searcher;
    try {
        search(searcher);
    } catch (...) {
        result.raised = true;
    }
    result.lines = log.texts();
    result.roots = searcher.root_entries();
    result.visited = searcher.keys_visited();
    return result;
}

// The reference: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS and
// HKEY_LOCAL_MACHINE each walked in turn, every key of each. `visits` gets
// how many keys each walk read.
outcome four_walks(test_support::log_capture& log, std::map<HKEY, std::uint64_t>& visits) {
    const REGSAM view = remover::running_under_wow64() ? KEY_WOW64_64KEY : 0;
    const std::vector<std::pair<const wchar_t*, HKEY>> walks = {
        {L"HKCR", HKEY_CLASSES_ROOT}, {L"HKCU", HKEY_CURRENT_USER}, {L"HKU", HKEY_USERS}, {L"HKLM", HKEY_LOCAL_MACHINE}};
    return searched_by(log, [&](installer_root_search& searcher) {
        for (const auto& [path, root] : walks) {
            const std::uint64_t before = searcher.keys_visited();
            const REGSAM root_view = root == HKEY_LOCAL_MACHINE ? view : 0;
            searcher.find_installer_roots(path, key(root, root_view), root_view);
            visits[root] = searcher.keys_visited() - before;
        }
    });
}

outcome one_search(test_support::log_capture& log) {
    return searched_by(log, [](installer_root_search& searcher) { searcher.search_roots(); });
}

// Roots of every kind in both hives: the classes' own, a vendor's, one
// without UpgradeCodes, VirtualStore branches, two users.
void common_traces(const layout& hives) {
    const HKEY m = hives.machine();
    const HKEY u = hives.users();
    for (const std::wstring& path :
         {L"SOFTWARE\\Classes\\" + CODES, L"SOFTWARE\\Classes\\Local\\Sub\\" + CODES,
          std::wstring(L"SOFTWARE\\Classes\\NoCodes\\Installer\\Products"), L"SOFTWARE\\Classes\\VirtualStore\\Hidden\\" + CODES,
          L"SOFTWARE\\Vendor\\" + CODES, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\" + CODES}) {
        ASSERT_NO_FATAL_FAILURE(hives.plant(m, path));
    }
    for (const std::wstring& path :
         {USER + L"\\Software\\Microsoft\\" + CODES, USER + L"\\Software\\VirtualStore\\" + CODES,
          OTHER_USER + L"\\Software\\Microsoft\\" + CODES, OTHER_USER + L"\\Software\\NoCodes\\Installer\\Features",
          L".DEFAULT\\Software\\" + CODES}) {
        ASSERT_NO_FATAL_FAILURE(hives.plant(u, path));
    }
}

struct search_case {
    const char* name;
    std::function<void(layout&)> plant;
    // The roots that are read from the other walks instead of walked.
    bool classes_from_machine;
    bool current_user_from_users;
};

class InstallerRoots : public ::testing::Test {
protected:
    test_support::log_capture log;
};

TEST_F(InstallerRoots, OneSearchFindsWhatTheFourWalksFind) {
    // A 32-bit program lists HKEY_CLASSES_ROOT in its own view: it walks it.
    const bool classes_derivable = !remover::running_under_wow64();
    const std::vector<search_case> cases = {
        {"machine classes only", [](layout&) {}, classes_derivable, true},
        {"the user's classes, the same key in both",
         [](layout& hives) {
             ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), USER + L"\\Software\\Classes\\Local\\Sub\\" + CODES));
             ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), USER + L"\\Software\\Classes\\UserOnly\\" + CODES));
         },
         classes_derivable, true},
        {"the user's classes, all of them the machine's too",
         [](layout& hives) {
             ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), USER + L"\\Software\\Classes\\Local\\" + CODES));
         },
         false, true},
        {"an empty classes key of the user",
         [](layout& hives) { ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), USER + L"\\Software\\Classes")); },
         classes_derivable, true},
        {"registry links in both hives",
         [](layout& hives) {
             ASSERT_NO_FATAL_FAILURE(hives.link(hives.machine(), L"SOFTWARE\\Classes\\Loop", L"SOFTWARE"));
             ASSERT_NO_FATAL_FAILURE(hives.link(hives.users(), USER + L"\\Software\\ToVendor", L"x"));
             ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), L"x\\" + CODES));
         },
         classes_derivable, true},
        {"keys that cannot be opened",
         [](layout& hives) {
             ASSERT_NO_FATAL_FAILURE(hives.lock(hives.machine(), L"SOFTWARE\\Classes\\Locked"));
             ASSERT_NO_FATAL_FAILURE(hives.lock(hives.users(), USER + L"\\Software\\Locked"));
         },
         classes_derivable, true},
        {"the classes root and the user's hive elsewhere",
         [](layout& hives) {
             ASSERT_EQ(hives.redirect(HKEY_CLASSES_ROOT, hives.users(), L"Elsewhere\\Classes"), ERROR_SUCCESS);
             ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), L"Elsewhere\\Classes\\App\\" + CODES));
             ASSERT_EQ(hives.redirect(HKEY_CURRENT_USER, hives.machine(), L"SOFTWARE\\Vendor"), ERROR_SUCCESS);
         },
         false, false},
        {"the roots opened through links to the keys",
         [](layout& hives) {
             ASSERT_NO_FATAL_FAILURE(hives.link(hives.machine(), L"SOFTWARE\\Classes2", L"SOFTWARE\\Classes"));
             ASSERT_EQ(hives.redirect(HKEY_CLASSES_ROOT, hives.machine(), L"SOFTWARE\\Classes2"), ERROR_SUCCESS);
             ASSERT_NO_FATAL_FAILURE(hives.link(hives.users(), L"Alias", USER));
             ASSERT_EQ(hives.redirect(HKEY_CURRENT_USER, hives.users(), L"Alias"), ERROR_SUCCESS);
         },
         classes_derivable, true},
        {"the user's hive cannot be opened",
         [](layout& hives) {
             replay::unique_hkey user;
             ASSERT_EQ(RegOpenKeyExW(hives.users(), USER.c_str(), 0, WRITE_DAC, user.put()), ERROR_SUCCESS);
             ASSERT_EQ(test_support::set_key_dacl(user.get(), L"D:P"), ERROR_SUCCESS);
         },
         classes_derivable, false},
        {"the users' hives cannot be listed",
         [](layout& hives) {
             replay::unique_hkey unlistable;
             ASSERT_EQ(RegOpenKeyExW(hives.users(), L"", 0, KEY_QUERY_VALUE, unlistable.put()), ERROR_SUCCESS);
             ASSERT_EQ(RegOverridePredefKey(HKEY_USERS, unlistable.get()), ERROR_SUCCESS);
         },
         false, false},
    };
    for (const search_case& test : cases) {
        SCOPED_TRACE(test.name);
        layout hives;
        ASSERT_EQ(hives.status(), ERROR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(common_traces(hives));
        ASSERT_NO_FATAL_FAILURE(test.plant(hives));

        std::map<HKEY, std::uint64_t> visits;
        const outcome reference = four_walks(log, visits);
        const outcome searched = one_search(log);

        EXPECT_EQ(searched.lines, reference.lines);
        EXPECT_EQ(searched.roots, reference.roots);
        EXPECT_EQ(searched.raised, reference.raised);
        EXPECT_GE(reference.roots.size(), reference.raised ? 0u : 7u);
        // Each root read from another walk is a walk saved, key for key.
        if (!reference.raised) {
            const std::uint64_t saved = (test.classes_from_machine ? visits[HKEY_CLASSES_ROOT] : 0) +
                                        (test.current_user_from_users ? visits[HKEY_CURRENT_USER] : 0);
            EXPECT_EQ(searched.visited, reference.visited - saved);
        }
    }
}

// A registry link that points at one of its own ancestors would make the
// walk endless: links are never descended through.
TEST_F(InstallerRoots, TheWalkDoesNotFollowRegistryLinks) {
    layout hives;
    ASSERT_EQ(hives.status(), ERROR_SUCCESS);
    const std::wstring software = USER + L"\\Software";
    ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), software + L"\\Loop\\Inner"));
    ASSERT_NO_FATAL_FAILURE(hives.plant(hives.users(), software + L"\\Target\\" + CODES));
    ASSERT_NO_FATAL_FAILURE(hives.link(hives.users(), software + L"\\Loop\\Inner\\up", USER));
    ASSERT_NO_FATAL_FAILURE(hives.link(hives.users(), software + L"\\Loop\\Inner\\side", software + L"\\Target"));

    installer_root_search walker;
    walker.find_installer_roots(L"HKCU", key(HKEY_CURRENT_USER), 0);
    // HKCU, Software, Loop, Inner, up, side, Target: the links are visited as
    // keys without subkeys, and Target's store is found once, by its own path.
    EXPECT_EQ(walker.keys_visited(), 7u);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Root: 1  HKCU\\Software\\Target"});
}

}  // namespace
