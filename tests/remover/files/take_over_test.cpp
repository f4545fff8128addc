#include "remover/files/take_over.hpp"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay/unicode/unicode.hpp"
#include "support/emulation.hpp"
#include "support/log_capture.hpp"
#include "support/registry_link.hpp"
#include "support/scratch_key.hpp"
#include "support/temp_folder.hpp"

namespace {

using test_support::set_key_dacl;

constexpr wchar_t nobody_may[] = L"D:P";

std::string narrow(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::ansi, false);
}

std::string taken_over_line(const std::wstring& shown) {
    return "Taken over: '" + narrow(shown) + "' (its access list refused the administrators)";
}

LSTATUS open_result(HKEY parent, const std::wstring& name, REGSAM access) {
    replay::unique_hkey opened;
    return RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, opened.put());
}

// Owner and access list of a key, in SDDL.
std::wstring key_security(HKEY parent, const std::wstring& name) {
    replay::unique_hkey opened;
    if (RegOpenKeyExW(parent, name.c_str(), 0, READ_CONTROL, opened.put()) != ERROR_SUCCESS) return L"";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(opened.get(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    LocalFree(descriptor);
    std::wstring result = text != nullptr ? text : L"";
    LocalFree(text);
    return result;
}

class TakeOverKey : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(make_locked(L"Locked"));
    }

    // A key with a value and a subkey whose access list grants nobody anything.
    void make_locked(const std::wstring& name) {
        replay::unique_hkey made;
        ASSERT_EQ(RegCreateKeyExW(scratch.get(), (name + L"\\Inner").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, made.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegCreateKeyExW(scratch.get(), name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, made.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(made.get(), L"Data", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"kept"), 10),
                  ERROR_SUCCESS);
        ASSERT_EQ(set_key_dacl(made.get(), nobody_may), ERROR_SUCCESS);
        // The platform enforces it: the administrator cannot read the key.
        ASSERT_EQ(open_result(scratch.get(), name, KEY_READ), ERROR_ACCESS_DENIED);
    }

    test_support::scratch_key scratch;
    test_support::log_capture log;
};

TEST_F(TakeOverKey, AdministratorsOwnItAndMayDoAnything) {
    const std::wstring shown = L"HKEY_CURRENT_USER\\" + scratch.path() + L"\\Locked";
    EXPECT_EQ(remover::take_over_key(scratch.get(), L"Locked", 0, shown), static_cast<DWORD>(ERROR_SUCCESS));

    // Wine does not keep the flag that protects the list from inheritance.
    const std::wstring security = key_security(scratch.get(), L"Locked");
    EXPECT_TRUE(security == L"O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)" || security == L"O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)")
        << narrow(security);
    EXPECT_EQ(open_result(scratch.get(), L"Locked", KEY_READ | DELETE), ERROR_SUCCESS);
    replay::unique_hkey opened;
    ASSERT_EQ(RegOpenKeyExW(scratch.get(), L"Locked", 0, KEY_READ, opened.put()), ERROR_SUCCESS);
    const std::vector<BYTE> data = test_support::raw_value(opened.get(), L"Data");
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2), std::wstring(L"kept", 5));
    EXPECT_EQ(log.texts(), std::vector<std::string>{taken_over_line(shown)});
}

TEST_F(TakeOverKey, LinkIsTakenOverItselfAndItsTargetKeepsItsList) {
    ASSERT_NO_FATAL_FAILURE(make_locked(L"Target"));
    replay::unique_hkey target;
    ASSERT_EQ(RegOpenKeyExW(scratch.get(), L"Target", 0, READ_CONTROL, target.put()), ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(scratch.get(), L"Link", target.get()));
    const std::wstring before = key_security(scratch.get(), L"Target");
    ASSERT_FALSE(before.empty());

    EXPECT_EQ(remover::take_over_key(scratch.get(), L"Link", 0, L"Link"), static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(key_security(scratch.get(), L"Target"), before);
    EXPECT_EQ(open_result(scratch.get(), L"Target", KEY_READ), ERROR_ACCESS_DENIED);
}

TEST_F(TakeOverKey, NothingToTakeOverIsReportedAndNotLogged) {
    struct row {
        const wchar_t* name;
        DWORD error;
    };
    for (const row& r : {row{L"Missing", ERROR_FILE_NOT_FOUND}, row{L"", ERROR_INVALID_PARAMETER}}) {
        SCOPED_TRACE(narrow(r.name));
        EXPECT_EQ(remover::take_over_key(scratch.get(), r.name, 0, L"x"), r.error);
    }
    EXPECT_EQ(open_result(scratch.get(), L"Locked", KEY_READ), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(log.texts().empty());
}

// The privileges are enabled for the take-over only.
TEST_F(TakeOverKey, PrivilegesAreRestoredAfterwards) {
    auto enabled = [](const wchar_t* name) {
        replay::token_handle token;
        LUID luid{};
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
            !LookupPrivilegeValueW(nullptr, name, &luid)) {
            return -1;
        }
        PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{luid, 0}}};
        BOOL result = FALSE;
        return PrivilegeCheck(token.get(), &set, &result) ? static_cast<int>(result) : -1;
    };
    const wchar_t* names[] = {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"};
    std::vector<int> before;
    for (const wchar_t* name : names) before.push_back(enabled(name));
    ASSERT_EQ(remover::take_over_key(scratch.get(), L"Locked", 0, L"Locked"), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<int> after;
    for (const wchar_t* name : names) after.push_back(enabled(name));
    EXPECT_EQ(after, before);
}

// Under Wine a file's access list is neither kept nor enforced; what is
// checked here is that files and folders are reached and the take-over said.
TEST(TakeOverFile, FileAndFolderAreTakenOverAndLogged) {
    SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                        "scenarios run the same file code");
    test_support::temp_folder folder;
    test_support::log_capture log;
    const std::string file = folder / "locked.dat";
    test_support::write_file(file, "product");
    const std::string inner = folder / "inner";
    ASSERT_TRUE(CreateDirectoryA(inner.c_str(), nullptr));
    std::vector<std::string> expected;
    for (const std::string& path : {file, inner}) {
        SCOPED_TRACE(path);
        const std::wstring wide = replay::unicode::from_ansi(path);
        EXPECT_EQ(remover::take_over_file(wide), static_cast<DWORD>(ERROR_SUCCESS));
        expected.push_back(taken_over_line(wide));
    }
    EXPECT_EQ(remover::take_over_file(replay::unicode::from_ansi(folder / "missing.dat")),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(log.texts(), expected);
    EXPECT_EQ(test_support::read_file(file), "product");
}

}  // namespace
