#include "remover/registry/user_hives.hpp"

#include <gtest/gtest.h>

namespace {

TEST(UserKeyPath, ClassesGoToTheUsersClassesHive) {
    const std::wstring sid = L"S-1-5-21-1-2-3-1001";
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } rows[] = {
        {L"Software\\Vexars", L"S-1-5-21-1-2-3-1001\\Software\\Vexars"},
        {L"Software", L"S-1-5-21-1-2-3-1001\\Software"},
        {L"Software\\Classes", L"S-1-5-21-1-2-3-1001_Classes"},
        {L"software\\classes\\Installer", L"S-1-5-21-1-2-3-1001_Classes\\Installer"},
        {L"Software\\ClassesOther", L"S-1-5-21-1-2-3-1001\\Software\\ClassesOther"},
    };
    for (const auto& row : rows) EXPECT_EQ(remover::user_key_path(sid, row.path), row.expected);
}

TEST(IsOtherUsersHive, OnlyOtherUsersOwnHives) {
    const std::wstring running = L"S-1-5-21-1-2-3-1000";
    const struct {
        const wchar_t* name;
        bool expected;
    } rows[] = {
        {L"S-1-5-21-1-2-3-1001", true},
        {L"S-1-5-21-1-2-3-1000", false},          // the running account's: HKEY_CURRENT_USER
        {L"s-1-5-21-1-2-3-1000", false},
        {L"S-1-5-21-1-2-3-1001_Classes", false},  // reached through its user
        {L"S-1-5-18", false},                     // the local system account
        {L"S-1-5-19", false},
        {L"S-1-5-20", false},
        {L".DEFAULT", false},
        {L"Other", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(remover::is_other_users_hive(row.name, running), row.expected);
    }
    // Run as the local system account every user's hive is another's.
    EXPECT_TRUE(remover::is_other_users_hive(L"S-1-5-21-1-2-3-1000", L"S-1-5-18"));
}

}  // namespace
