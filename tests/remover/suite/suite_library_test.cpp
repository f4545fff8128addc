#include "remover/suite/suite_library.hpp"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "support/emulation.hpp"
#include "support/temp_folder.hpp"

namespace {

using remover::writers;
using remover::suite::copy_refusal;
using remover::suite::library_place;

constexpr const char* open_folder = "others may write to the folder";

// The running account's SID in its S-1-... form.
std::wstring runner_text() {
    const std::vector<BYTE> user = remover::running_account();
    wchar_t* text = nullptr;
    if (user.empty() || !ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text))
        return {};
    std::wstring result(text);
    LocalFree(text);
    return result;
}

std::wstring replaced(std::wstring sddl, const std::wstring& runner) {
    for (size_t at = sddl.find(L"RUNNER"); at != std::wstring::npos; at = sddl.find(L"RUNNER")) {
        sddl.replace(at, 6, runner);
    }
    return sddl;
}

struct folder_case {
    const char* name;
    const wchar_t* sddl;         // RUNNER stands for the running account
    const char* program_folder;  // the program's own folder: administrators only, owner checked
    const char* suite_folder;    // the suite's and the tray's folders: also the running account
};

const folder_case cases[] = {
    {"only administrators write, administrators own",
     L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", "", ""},
    {"trusted installer owns, administrators write",
     L"O:S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698D:P(A;;FA;;;BA)(A;;0x1200a9;;;WD)", "", ""},
    {"a download folder: the running account writes",
     L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;RUNNER)", open_folder, ""},
    {"only administrators write, the running account owns", L"O:RUNNERD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
     open_folder, ""},
    {"users may create files", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x1200ab;;;BU)", open_folder, open_folder},
    {"authenticated users may create folders", L"O:BAD:P(A;;FA;;;BA)(A;;0x4;;;AU)", open_folder, open_folder},
    {"interactive users may delete children", L"O:BAD:P(A;;FA;;;BA)(A;;0x40;;;IU)", open_folder, open_folder},
    {"guests may change the access list", L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;BG)", open_folder, open_folder},
    {"everyone may write", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", open_folder, open_folder},
    {"another account may write", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1002)", open_folder,
     open_folder},
};

TEST(SuiteLibraryPlaces, EachFolderIsJudgedForItsPlace) {
    const std::wstring runner = runner_text();
    ASSERT_FALSE(runner.empty());
    PSID runner_sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(runner.c_str(), &runner_sid));
    const library_place program{L"C:\\Downloads", writers::administrators, /*check_owner=*/true};
    const library_place suite{L"C:\\Program Files (x86)\\Vexars\\", writers::administrators_and_runner,
                              /*check_owner=*/false};
    for (const folder_case& c : cases) {
        SCOPED_TRACE(c.name);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(replaced(c.sddl, runner).c_str(),
                                                                         SDDL_REVISION_1, &descriptor, nullptr));
        EXPECT_EQ(remover::suite::folder_refusal(program, descriptor, runner_sid), c.program_folder);
        EXPECT_EQ(remover::suite::folder_refusal(suite, descriptor, runner_sid), c.suite_folder);
        LocalFree(descriptor);
    }
    LocalFree(runner_sid);
}

// Real folders as the system describes them. Under Wine a folder belongs to
// the running account, which may write to it: a copy there passes for the
// suite's folder and never for the program's own; a folder that everyone may
// write to passes for neither.
TEST(SuiteLibraryPlaces, RealFoldersAreReadFromTheSystem) {
    SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                        "scenarios run the same file code");
    test_support::temp_folder temp;
    const std::wstring folder(temp.path().begin(), temp.path().end());
    test_support::write_file(temp / remover::suite::library_name, "library");
    EXPECT_EQ(copy_refusal({folder, writers::administrators, /*check_owner=*/true}), open_folder);
    EXPECT_EQ(copy_refusal({folder + L"\\", writers::administrators_and_runner, /*check_owner=*/false}), "");

    // Everyone may write: set, and read back as such.
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        (L"O:" + runner_text() + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + runner_text() + L")(A;OICI;FA;;;WD)").c_str(),
        SDDL_REVISION_1, &open, nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(open, &owner, &defaulted);
    GetSecurityDescriptorDacl(open, &present, &dacl, &defaulted);
    const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, owner, nullptr,
                                            dacl, nullptr);
    LocalFree(open);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(remover::path_refusal(folder, writers::administrators_and_runner, false),
              "S-1-1-0 may write to the folder");
    EXPECT_EQ(copy_refusal({folder, writers::administrators, /*check_owner=*/true}), open_folder);
    EXPECT_EQ(copy_refusal({folder, writers::administrators_and_runner, /*check_owner=*/false}), open_folder);
}

TEST(SuiteLibraryPlaces, AMissingCopyOrFolderIsNotFound) {
    SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                        "scenarios run the same file code");
    test_support::temp_folder temp;
    const std::wstring folder(temp.path().begin(), temp.path().end());
    for (const library_place& place : {library_place{folder, writers::administrators_and_runner, false},
                                       library_place{folder + L"\\missing", writers::administrators, true},
                                       library_place{L"", writers::administrators, true},
                                       library_place{L"Vexars\\", writers::administrators_and_runner, false}}) {
        EXPECT_EQ(copy_refusal(place), "not found");
    }
    // A folder of the library's name is no copy.
    ASSERT_TRUE(CreateDirectoryA((temp / remover::suite::library_name).c_str(), nullptr));
    EXPECT_EQ(copy_refusal({folder, writers::administrators_and_runner, false}), "not found");
}

TEST(SuiteLibraryPlaces, TheProgramsFolderFirstThenTheSuitesAndTheTrays) {
    SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                        "scenarios run the same file code");
    remover::suite::set_library_folders(L"C:\\Program Files (x86)\\Vexars\\",
                                        L"C:\\Program Files (x86)\\Vexars\\Tray\\");
    wchar_t own[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    const std::wstring own_folder = std::wstring(own, length).substr(0, std::wstring(own, length).rfind(L'\\') + 1);
    const auto places = remover::suite::library_places();
    ASSERT_EQ(places.size(), 3u);
    EXPECT_EQ(places[0].folder, own_folder);
    EXPECT_TRUE(places[0].others == writers::administrators && places[0].check_owner);
    EXPECT_EQ(places[1].folder, L"C:\\Program Files (x86)\\Vexars\\");
    EXPECT_TRUE(places[1].others == writers::administrators_and_runner && !places[1].check_owner);
    EXPECT_EQ(places[2].folder, L"C:\\Program Files (x86)\\Vexars\\Tray\\");
    EXPECT_TRUE(places[2].others == writers::administrators_and_runner && !places[2].check_owner);
    remover::suite::set_library_folders(L"", L"");
}

}  // namespace
