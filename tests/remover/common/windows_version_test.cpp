#include "remover/common/windows_version.hpp"

#include <gtest/gtest.h>

namespace {

OSVERSIONINFOEXA version(DWORD major, DWORD minor, BYTE product_type, const char* service_pack) {
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wProductType = product_type;
    lstrcpynA(info.szCSDVersion, service_pack, sizeof(info.szCSDVersion));
    return info;
}

TEST(DescribeOsVersion, NamesEachKnownVersion) {
    using remover::describe_os_version;
    EXPECT_EQ(describe_os_version(version(5, 0, VER_NT_SERVER, "Service Pack 4")), "Windows 2000 Service Pack 4");
    EXPECT_EQ(describe_os_version(version(5, 1, VER_NT_WORKSTATION, "Service Pack 3")), "Windows XP Service Pack 3");
    EXPECT_EQ(describe_os_version(version(5, 2, VER_NT_WORKSTATION, "")), "Windows XP ");
    EXPECT_EQ(describe_os_version(version(5, 2, VER_NT_SERVER, "Service Pack 2")),
              "Windows Server 2003 Service Pack 2");
    EXPECT_EQ(describe_os_version(version(5, 2, VER_NT_DOMAIN_CONTROLLER, "")), "Windows Server 2003 ");
    EXPECT_EQ(describe_os_version(version(6, 0, VER_NT_WORKSTATION, "Service Pack 2")), "Windows Vista Service Pack 2");
    EXPECT_EQ(describe_os_version(version(6, 0, VER_NT_SERVER, "")), "Windows Server 2008 ");
    EXPECT_EQ(describe_os_version(version(6, 1, VER_NT_WORKSTATION, "Service Pack 1")), "Windows 7 Service Pack 1");
    EXPECT_EQ(describe_os_version(version(6, 1, VER_NT_SERVER, "")), "Windows Server 2008 R2 ");
}

TEST(DescribeOsVersion, RawNumbersForOtherVersions) {
    using remover::describe_os_version;
    EXPECT_EQ(describe_os_version(version(6, 2, VER_NT_WORKSTATION, "")), "OS: majorv=6 minorv=2");
    EXPECT_EQ(describe_os_version(version(5, 3, VER_NT_WORKSTATION, "")), "OS: majorv=5 minorv=3");
    EXPECT_EQ(describe_os_version(version(10, 0, VER_NT_WORKSTATION, "")), "OS: majorv=10 minorv=0");
    EXPECT_EQ(describe_os_version(version(4, 0, VER_NT_WORKSTATION, "Service Pack 6a")), "OS: majorv=4 minorv=0");
}

}  // namespace
