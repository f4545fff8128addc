#include "remover/discovery/product_folder.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/emulation.hpp"

namespace {

struct folder_case {
    const char* name;
    const char* folder;
    const char* refusal;
};

// Another product is installed in C:\Apps\Other; bob's profile is another
// user's.
const folder_case cases[] = {
    {"a folder of its own", "C:\\Apps\\Zentrivo\\", ""},
    {"another product's installation folder", "C:\\Apps\\Other\\",
     "it is the installation folder of another product ('C:\\Apps\\Other')"},
    {"the same, another spelling", "c:\\apps\\OTHER",
     "it is the installation folder of another product ('C:\\Apps\\Other')"},
    {"a folder holding another product's", "C:\\Apps\\",
     "it holds the installation folder of another product ('C:\\Apps\\Other')"},
    {"a folder below another product's", "C:\\Apps\\Other\\Zentrivo\\", ""},
    {"a name that only begins like another product's", "C:\\Apps\\Other2\\", ""},
    {"below another user's Documents", "C:\\users\\bob\\Documents\\Zentrivo\\",
     "it lies in the profile 'C:\\users\\bob' of another user"},
    {"another user's profile itself", "C:\\users\\bob", "it lies in the profile 'C:\\users\\bob' of another user"},
    {"a profile whose name only begins like it", "C:\\users\\bobby\\Zentrivo\\", ""},
    {"a share", "\\\\server\\share\\Zentrivo\\", "it is not a folder on a local drive"},
    {"a device path", "\\\\?\\C:\\Apps\\Zentrivo\\", "it is not a folder on a local drive"},
    {"a relative path", "Zentrivo\\", "it is not a folder on a local drive"},
    {"the Windows folder", "C:\\Windows\\", "it is a protected folder"},
    {"a drive root", "C:\\", "it is a protected folder"},
};

TEST(ProductFolder, IsTheProductsOnlyWhereNothingElseClaimsIt) {
    // The protected-folder check asks the system for its folders and drives.
    SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                        "scenarios run the same file code");
    const remover::folder_neighbours neighbours{{L"C:\\Apps\\Other"}, {L"C:\\users\\bob"}};
    for (const folder_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(remover::product_folder_refusal(c.folder, neighbours), c.refusal);
    }
}

}  // namespace
