#include "remover/installer/packed_guid.hpp"

#include <gtest/gtest.h>

#include <string>

#include "replay/exception.hpp"

namespace {

constexpr wchar_t upgrade_code[] = L"{6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}";
const std::wstring U = L"E2C3F1A6D4B970E45A8CD3E2170F9BA4";  // the upgrade code, packed

TEST(PackGuid, PacksAndUnpacksInAnyCase) {
    EXPECT_EQ(remover::pack_guid(L"{6a1f3c2e-9b4d-4e07-a5c8-3d2e71f0b94a}"), U);
    EXPECT_EQ(remover::pack_guid(upgrade_code), U);
    EXPECT_EQ(remover::unpack_guid(U), upgrade_code);
    EXPECT_THROW(remover::pack_guid(L"{6A1F3C2E-9B4D}"), replay::exception);
}

}  // namespace
