#include "remover/common/trust.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "replay/handle.hpp"

namespace {

// A SID or a security descriptor from its text, freed by its owner; no
// handle when the text does not convert (a failure is recorded then).
replay::local_memory_handle sid_of(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << GetLastError();
    return replay::local_memory_handle(sid);
}

replay::local_memory_handle descriptor_of(const wchar_t* sddl) {
    if (sddl == nullptr) return {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        << GetLastError();
    return replay::local_memory_handle(descriptor);
}

// The running account of these cases.
PSID runner() {
    static const replay::local_memory_handle sid = sid_of(L"S-1-5-21-1-2-3-1001");
    return sid.get();
}

// The running account in these cases is S-1-5-21-1-2-3-1001.
struct descriptor_case {
    const char* name;
    const wchar_t* sddl;
    const char* refusal_with_runner;  // writers::administrators_and_runner
    const char* refusal_admins_only;  // writers::administrators
    const char* owner_refusal;
};

constexpr const char* users_write = "S-1-5-32-545 may write to the folder";
constexpr const char* runner_write = "S-1-5-21-1-2-3-1001 may write to the folder";

const descriptor_case cases[] = {
    {"users may write", L"O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1301bf;;;BU)", users_write, users_write, ""},
    {"only administrators and system", L"O:SYD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", "", "", ""},
    {"everyone may create folders", L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;WD)", "S-1-1-0 may write to the folder",
     "S-1-1-0 may write to the folder", ""},
    {"authenticated users may create files", L"O:BAD:(A;;0x2;;;AU)", "S-1-5-11 may write to the folder",
     "S-1-5-11 may write to the folder", ""},
    {"users may delete children", L"O:BAD:(A;;0x40;;;BU)", users_write, users_write, ""},
    {"users inherit-only full access", L"O:BAD:(A;;FA;;;BA)(A;OICIIO;GA;;;BU)", "", "", ""},
    {"users inherited full access on the folder", L"O:BAD:(A;OICIID;GA;;;BU)", users_write, users_write, ""},
    {"creator owner", L"O:BAD:(A;OICIIO;GA;;;CO)(A;;FA;;;CO)(A;;FA;;;CG)", "", "", ""},
    {"trusted installer",
     L"O:S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698"
     L"D:(A;;FA;;;S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698)",
     "", "", ""},
    {"the running account writes and owns", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)", "",
     runner_write, "its owner S-1-5-21-1-2-3-1001 is not an administrator"},
    {"another account", L"O:BAD:(A;;FA;;;S-1-5-21-1-2-3-1002)", "S-1-5-21-1-2-3-1002 may write to the folder",
     "S-1-5-21-1-2-3-1002 may write to the folder", ""},
    {"users may change the access list", L"O:BAD:(A;;WD;;;BU)", users_write, users_write, ""},
    {"users may take ownership", L"O:BAD:(A;;WO;;;BU)", users_write, users_write, ""},
    {"users generic write", L"O:BAD:(A;;GW;;;BU)", users_write, users_write, ""},
    {"everyone read and execute", L"O:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)", "", "", ""},
    {"a denying entry only", L"O:BAD:(D;;FA;;;BU)(A;;FA;;;SY)", "", "", ""},
    {"the first outsider is named", L"O:BAD:(A;;FA;;;SY)(A;;0x4;;;WD)(A;;FA;;;BU)", "S-1-1-0 may write to the folder",
     "S-1-1-0 may write to the folder", ""},
    {"empty access list owned by a user", L"O:BUD:", "", "", "its owner S-1-5-32-545 is not an administrator"},
    {"admin-only list owned by another account", L"O:S-1-5-21-1-2-3-1002D:P(A;;FA;;;BA)", "", "",
     "its owner S-1-5-21-1-2-3-1002 is not an administrator"},
};

TEST(Trust, DecidesFromTheAccessListAndOwner) {
    ASSERT_NE(runner(), nullptr);
    for (const descriptor_case& c : cases) {
        SCOPED_TRACE(c.name);
        const replay::local_memory_handle owned = descriptor_of(c.sddl);
        ASSERT_TRUE(owned);
        const PSECURITY_DESCRIPTOR descriptor = owned.get();
        const PSID runner = ::runner();
        EXPECT_EQ(remover::write_refusal(descriptor, remover::writers::administrators_and_runner, runner),
                  c.refusal_with_runner);
        EXPECT_EQ(remover::write_refusal(descriptor, remover::writers::administrators, runner), c.refusal_admins_only);
        EXPECT_EQ(remover::owner_refusal(descriptor), c.owner_refusal);
    }
}

TEST(Trust, NoAccessListLetsEveryoneWriteAndNoOwnerIsRefused) {
    SECURITY_DESCRIPTOR descriptor = {};
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, /*present=*/TRUE, /*dacl=*/nullptr, /*defaulted=*/FALSE));
    const std::string open = "the folder has no access list: everyone may write to it";
    EXPECT_EQ(remover::write_refusal(&descriptor, remover::writers::administrators, nullptr), open);
    // A descriptor without any access-list part is the same.
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, /*present=*/FALSE, nullptr, FALSE));
    EXPECT_EQ(remover::write_refusal(&descriptor, remover::writers::administrators_and_runner, nullptr), open);
    EXPECT_EQ(remover::owner_refusal(&descriptor), "its owner cannot be read");
}

// A program is started only when its folder and the file itself pass the
// write check and are owned by an administrator account; the folder is
// checked also when the file is missing (null).
struct program_case {
    const char* name;
    const wchar_t* folder;
    const wchar_t* file;  // null: no such file
    const char* refusal;
};

constexpr const wchar_t* admin_folder = L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)";
constexpr const wchar_t* admin_file = L"O:SYD:(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

const program_case program_cases[] = {
    {"both an installer's", admin_folder, admin_file, ""},
    {"the running account may write both", L"O:BAD:(A;;FA;;;S-1-5-21-1-2-3-1001)",
     L"O:BAD:(A;;FA;;;S-1-5-21-1-2-3-1001)", ""},
    {"a missing file in a sound folder", admin_folder, nullptr, ""},
    {"a missing file in a folder users may write", L"O:BAD:(A;;0x2;;;BU)", nullptr,
     "the folder: S-1-5-32-545 may write to the folder"},
    {"a folder a user owns, locked to administrators", L"O:S-1-5-21-1-2-3-1002D:P(A;;FA;;;BA)", admin_file,
     "the folder: its owner S-1-5-21-1-2-3-1002 is not an administrator"},
    {"a folder the running account owns", L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;BA)", nullptr,
     "the folder: its owner S-1-5-21-1-2-3-1001 is not an administrator"},
    {"a file users may write", admin_folder, L"O:BAD:(A;;FA;;;BA)(A;;0x2;;;BU)",
     "the file: S-1-5-32-545 may write to the file"},
    {"a file a user owns", admin_folder, L"O:S-1-5-21-1-2-3-1002D:P(A;;FA;;;BA)",
     "the file: its owner S-1-5-21-1-2-3-1002 is not an administrator"},
    {"a file without an access list", admin_folder, L"O:BA", "the file: the file has no access list: everyone may write to it"},
    {"a file owned by TrustedInstaller", admin_folder,
     L"O:S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698D:(A;;0x1200a9;;;WD)", ""},
};

TEST(Trust, ProgramStartsNeedSoundFolderAndFileWithAdministratorOwners) {
    ASSERT_NE(runner(), nullptr);
    for (const program_case& c : program_cases) {
        SCOPED_TRACE(c.name);
        const replay::local_memory_handle folder = descriptor_of(c.folder);
        const replay::local_memory_handle file = descriptor_of(c.file);
        ASSERT_TRUE(folder);
        ASSERT_EQ(c.file != nullptr, file.valid());
        EXPECT_EQ(remover::program_refusal(folder.get(), file.get(), runner()), c.refusal);
        // Where the system shows every file as the running account's, that
        // owner passes too; other accounts still do not.
        if (std::string(c.name) == "a folder the running account owns") {
            EXPECT_EQ(remover::program_refusal(folder.get(), file.get(), runner(), runner()), "");
        }
    }
}

}  // namespace
