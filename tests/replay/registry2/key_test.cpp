#include "replay/registry2/key.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "replay/format.hpp"
#include "replay/unicode/unicode.hpp"
#include "support/registry_link.hpp"
#include "support/scratch_key.hpp"

namespace {

namespace registry2 = replay::registry2;
using registry2::key;
using test_support::key_absent;
using test_support::key_exists;
using test_support::raw_value_set;
using test_support::value_absent;

// what() of the Error that `action` raises, or a text saying what happened
// instead.
template <typename Error, typename Action>
std::string what_of(Action action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("another exception: ") + e.what();
    }
    return "no exception";
}

bool ansi_is_1252() { return GetACP() == 1252; }

// An environment variable of this process for the lifetime of the object.
class scoped_environment_variable {
public:
    scoped_environment_variable(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    scoped_environment_variable(const scoped_environment_variable&) = delete;
    scoped_environment_variable& operator=(const scoped_environment_variable&) = delete;
    ~scoped_environment_variable() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(scratch_.status(), ERROR_SUCCESS); }

    HKEY raw() const { return scratch_.get(); }

    // A raw key below the scratch key, created with full access.
    replay::unique_hkey make_raw(const std::wstring& path) {
        replay::unique_hkey made;
        EXPECT_EQ(RegCreateKeyExW(raw(), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, made.put(), nullptr),
                  ERROR_SUCCESS)
            << "creating " << std::string(path.begin(), path.end());
        return made;
    }

    void set_raw_string(const std::wstring& name, DWORD type, const std::wstring& text,
                        bool with_terminator) {
        const DWORD size =
            static_cast<DWORD>((text.size() + (with_terminator ? 1 : 0)) * sizeof(wchar_t));
        EXPECT_TRUE(raw_value_set(raw(), name, type, text.c_str(), size));
    }

    test_support::scratch_key scratch_;
};

// ---------------------------------------------------------------- errors

TEST(RegistryErrors, EachClassAddsItsWordToTheKindPath) {
    EXPECT_STREQ(registry2::generic("M").what(), "registry2[M]");
    EXPECT_STREQ(registry2::key_error("M").what(), "registry2.key_error[M]");
    EXPECT_STREQ(registry2::value_error("M").what(), "registry2.value_error[M]");
    EXPECT_STREQ(registry2::type_mismatch("M").what(), "registry2.type_mismatch[M]");
    EXPECT_STREQ(registry2::size_mismatch("M").what(), "registry2.size_mismatch[M]");
    EXPECT_EQ(registry2::size_mismatch("M").kind(), "registry2.size_mismatch");
    EXPECT_EQ(registry2::size_mismatch("M").message(), "M");
}

TEST(RegistryErrors, AllAreCaughtAsTheFamilyBase) {
    const auto caught_as_generic = [](auto error) {
        try {
            throw error;
        } catch (const registry2::generic&) {
            return true;
        } catch (...) {
            return false;
        }
    };
    EXPECT_TRUE(caught_as_generic(registry2::key_error("M")));
    EXPECT_TRUE(caught_as_generic(registry2::value_error("M")));
    EXPECT_TRUE(caught_as_generic(registry2::type_mismatch("M")));
    EXPECT_TRUE(caught_as_generic(registry2::size_mismatch("M")));
}

// ---------------------------------------------------------------- opening

using RegistryOpen = RegistryTest;

TEST_F(RegistryOpen, CreatesAndOpensNestedKeys) {
    const key scratch(raw());
    const key created(scratch, L"a\\b\\c", /*create=*/true);
    created.set_dword(L"n", 1);

    const key opened(scratch, L"a\\b", /*create=*/false);
    EXPECT_EQ(opened.subkey_names(), std::set<std::wstring>{L"c"});
    EXPECT_EQ(key(opened, L"c", /*create=*/false).get_dword(L"n"), 1u);
    // Creating an existing key opens it.
    EXPECT_EQ(key(scratch, L"a\\b\\c", /*create=*/true).get_dword(L"n"), 1u);
}

TEST_F(RegistryOpen, MissingSubkeyRaisesKeyError) {
    const key scratch(raw());
    EXPECT_EQ(what_of<registry2::key_error>([&] { key(scratch, L"missing\\child", false); }),
              "registry2.key_error[RegOpenKeyEx() failed: key \"missing\\child\" (2)]");
}

TEST_F(RegistryOpen, InvalidHandleShowsAsSignedNumber) {
    // In the range of the predefined roots, but none of them.
    const HKEY invalid = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000010u));
    EXPECT_EQ(what_of<registry2::key_error>([&] { key{invalid}; }),
              "registry2.key_error[RegOpenKeyEx() failed: handle -2147483632 (6)]");
}

TEST_F(RegistryOpen, CreateFailureNamesTheKey) {
    key source(raw());
    const key moved(std::move(source));  // leaves `source` without a handle
    EXPECT_EQ(what_of<registry2::key_error>([&] { key(source, L"new", /*create=*/true); }),
              "registry2.key_error[RegCreateKeyEx() failed: key \"new\" (6)]");
    EXPECT_EQ(what_of<registry2::key_error>([&] { key{source}; }),
              "registry2.key_error[RegOpenKeyEx() failed: handle 0 (6)]");
    // The moved-to object has the key.
    EXPECT_NO_THROW(key(moved, L"new", /*create=*/true));
    EXPECT_TRUE(key_exists(raw(), L"new"));
}

TEST_F(RegistryOpen, CopyOwnsASecondHandleToTheSameKey) {
    auto original = std::make_unique<key>(raw());
    const key copy(*original);
    EXPECT_NE(copy.handle(), original->handle());
    original->set_dword(L"n", 5);
    original.reset();  // closes the original's handle only
    EXPECT_EQ(copy.get_dword(L"n"), 5u);
}

TEST_F(RegistryOpen, RawHandleStaysWithTheCaller) {
    replay::unique_hkey mine = make_raw(L"mine");
    {
        const key object(mine.get());
        EXPECT_NE(object.handle(), mine.get());
    }
    // Still open after the key object is gone.
    EXPECT_TRUE(raw_value_set(mine.get(), L"v", REG_DWORD, "\1\0\0\0", 4));
}

TEST_F(RegistryOpen, HandleOfLocalMachineShowsAsMinus2147483646) {
    // Redirect HKEY_LOCAL_MACHINE to a handle that may not enumerate, so the
    // enumeration through the root handle fails.
    replay::unique_hkey query_only;
    ASSERT_EQ(RegOpenKeyExW(raw(), nullptr, 0, KEY_QUERY_VALUE, query_only.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, query_only.get()), ERROR_SUCCESS);
    struct undo_override {
        ~undo_override() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }
    } undo;

    const key root(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(root.handle(), HKEY_LOCAL_MACHINE) << "Windows hands back the root itself";
    EXPECT_EQ(what_of<registry2::key_error>([&] { root.subkey_names(); }),
              "registry2.key_error[RegEnumKeyEx() failed: handle -2147483646 (5)]");
}

// ------------------------------------------------------- read-only access

class RegistryReadOnly : public RegistryTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RegistryTest::SetUp());
        replay::unique_hkey locked = make_raw(L"locked");
        const DWORD seven = 7;
        ASSERT_TRUE(raw_value_set(locked.get(), L"n", REG_DWORD, &seven, sizeof seven));
        // Read access for everyone, nothing else.
        lock_ = std::make_unique<test_support::key_dacl_override>(raw(), L"locked",
                                                                   L"D:P(A;;KR;;;WD)");
        ASSERT_EQ(lock_->status(), ERROR_SUCCESS);
        replay::unique_hkey probe;
        ASSERT_EQ(RegOpenKeyExW(raw(), L"locked", 0, registry2::read_write, probe.put()),
                  ERROR_ACCESS_DENIED);
    }
    void TearDown() override { lock_.reset(); }

    std::unique_ptr<test_support::key_dacl_override> lock_;
};

TEST_F(RegistryReadOnly, OpenFallsBackToReadAccess) {
    const key scratch(raw());
    const key locked(scratch, L"locked", /*create=*/false);
    EXPECT_EQ(locked.get_dword(L"n"), 7u);
    EXPECT_EQ(locked.value_names(), std::set<std::wstring>{L"n"});

    EXPECT_EQ(what_of<registry2::value_error>([&] { locked.set_dword(L"n", 8); }),
              "registry2.value_error[RegSetValueEx() failed: value \"n\" (5)]");
    EXPECT_EQ(what_of<registry2::key_error>([&] { locked.delete_value(L"n"); }),
              "registry2.key_error[RegDeleteValue() failed: value \"n\" (5)]");
    // The failures leave the key object usable and the value as it was.
    EXPECT_EQ(locked.get_dword(L"n"), 7u);
}

TEST_F(RegistryReadOnly, CopyAndRawHandleFallBackToReadAccess) {
    const key locked(key(raw()), L"locked", /*create=*/false);
    const key copy(locked);
    EXPECT_EQ(copy.get_dword(L"n"), 7u);

    replay::unique_hkey read_handle;
    ASSERT_EQ(RegOpenKeyExW(raw(), L"locked", 0, KEY_READ, read_handle.put()), ERROR_SUCCESS);
    const key from_handle(read_handle.get());
    EXPECT_EQ(from_handle.get_dword(L"n"), 7u);
    EXPECT_EQ(what_of<registry2::value_error>([&] { from_handle.set_dword(L"n", 8); }),
              "registry2.value_error[RegSetValueEx() failed: value \"n\" (5)]");
}

TEST_F(RegistryOpen, KeyWithoutReadAccessCannotBeOpened) {
    make_raw(L"sealed");
    test_support::key_dacl_override sealed(raw(), L"sealed", L"D:P");
    ASSERT_EQ(sealed.status(), ERROR_SUCCESS);
    EXPECT_EQ(what_of<registry2::key_error>([&] { key(key(raw()), L"sealed", false); }),
              "registry2.key_error[RegOpenKeyEx() failed: key \"sealed\" (5)]");
}

// ------------------------------------------------------------- strings

using RegistryString = RegistryTest;

TEST_F(RegistryString, ExpandSzIsExpandedAndSzIsNot) {
    scoped_environment_variable variable(L"ZENQO_TEST_VAR", L"expanded");
    wchar_t system_root[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"SystemRoot", system_root, MAX_PATH), 0u);
    set_raw_string(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x;%ZENQO_TEST_VAR%", true);
    set_raw_string(L"plain", REG_SZ, L"%SystemRoot%\\x;%ZENQO_TEST_VAR%", true);
    // A name that is not set stays as it is.
    set_raw_string(L"unset", REG_EXPAND_SZ, L"a%ZENQO_NOT_SET%b", true);

    const key scratch(raw());
    EXPECT_EQ(scratch.get_string(L"expand"), std::wstring(system_root) + L"\\x;expanded");
    EXPECT_EQ(scratch.get_string(L"plain"), L"%SystemRoot%\\x;%ZENQO_TEST_VAR%");
    EXPECT_EQ(scratch.get_string(L"unset"), L"a%ZENQO_NOT_SET%b");
}

TEST_F(RegistryString, ValuesWithAndWithoutTerminatorGiveTheSameText) {
    scoped_environment_variable variable(L"ZENQO_TEST_VAR", L"expanded");
    set_raw_string(L"with", REG_SZ, L"abc", true);
    set_raw_string(L"without", REG_SZ, L"abc", false);
    // The expansion must not run past the data into whatever follows it.
    set_raw_string(L"expand without", REG_EXPAND_SZ, L"x%ZENQO_TEST_VAR%", false);
    set_raw_string(L"expand with", REG_EXPAND_SZ, L"x%ZENQO_TEST_VAR%", true);
    set_raw_string(L"terminator only", REG_SZ, L"", true);
    set_raw_string(L"no data", REG_SZ, L"", false);
    // Only one terminator is dropped.
    set_raw_string(L"two terminators", REG_SZ, std::wstring(L"ab\0", 3), true);

    const key scratch(raw());
    EXPECT_EQ(scratch.get_string(L"with"), L"abc");
    EXPECT_EQ(scratch.get_string(L"without"), L"abc");
    EXPECT_EQ(scratch.get_string(L"expand without"), L"xexpanded");
    EXPECT_EQ(scratch.get_string(L"expand with"), L"xexpanded");
    EXPECT_EQ(scratch.get_string(L"terminator only"), L"");
    EXPECT_EQ(scratch.get_string(L"no data"), L"");
    EXPECT_EQ(scratch.get_string(L"two terminators"), std::wstring(L"ab\0", 3));
}

TEST_F(RegistryString, OddByteCountKeepsItsLastByte) {
    // Written through the raw function: "a", then one byte of "b". The bytes
    // after the count are given too: the system reads past the count of a
    // REG_SZ to decide whether to add a terminator the count left out.
    const char data[] = {'a', 0, 'b', 0x34, 0x12, 0x34};
    ASSERT_TRUE(raw_value_set(raw(), L"odd", REG_SZ, data, 3));
    const char terminated[] = {'a', 0, 0, 0, 0x12, 0x34};
    ASSERT_TRUE(raw_value_set(raw(), L"odd terminated", REG_SZ, terminated, 3));

    const key scratch(raw());
    EXPECT_EQ(scratch.get_string(L"odd"), L"ab");
    // Whether the system stored 3 bytes or added a terminator differs
    // between Windows and Wine builds: the text follows what it holds (two
    // bytes a character, an odd last byte one of its own, one terminator at
    // the end dropped).
    const std::vector<BYTE> held = test_support::raw_value(raw(), L"odd terminated");
    ASSERT_GE(held.size(), 3u);
    ASSERT_TRUE(std::equal(held.begin(), held.begin() + 3, terminated));
    std::wstring expected;
    for (size_t i = 0; i < held.size(); i += 2)
        expected += static_cast<wchar_t>(held[i] | (i + 1 < held.size() ? held[i + 1] << 8 : 0));
    if (!expected.empty() && expected.back() == L'\0') expected.pop_back();
    EXPECT_EQ(scratch.get_string(L"odd terminated"), expected);
}

TEST_F(RegistryString, DefaultValueHasTheEmptyName) {
    const key scratch(raw());
    scratch.set_string(L"", L"default");
    EXPECT_EQ(scratch.get_string(L""), L"default");
    EXPECT_EQ(scratch.value_names(), std::set<std::wstring>{L""});
}

TEST_F(RegistryString, NarrowVariantIsInTheAnsiCodePage) {
    if (!ansi_is_1252()) GTEST_SKIP() << "the texts below assume ANSI code page 1252";
    const key scratch(raw());
    scratch.set_string(L"latin", L"Zentrivo \u00E9\u20AC");
    scratch.set_string(L"chinese", L"\u4E2D");
    EXPECT_EQ(scratch.get_string<std::string>(L"latin"), "Zentrivo \xE9\x80");
    EXPECT_EQ(scratch.get_string(L"chinese"), L"\u4E2D");
    EXPECT_THROW(scratch.get_string<std::string>(L"chinese"),
                 replay::unicode::unmappable_character);
}

TEST_F(RegistryString, SetStringStoresTheTerminator) {
    const key scratch(raw());
    scratch.set_string(L"s", L"abc");
    DWORD type = 0;
    const std::vector<BYTE> data = test_support::raw_value(raw(), L"s", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
}

// ------------------------------------------------- expansion beyond 32768

class RegistryLongExpansion : public RegistryTest {
protected:
    // What the system makes of `text` when given all the room it asks for:
    // the whole expansion, or nothing when it cannot expand it.
    static std::wstring system_expansion(const std::wstring& text) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return std::wstring();
        std::vector<wchar_t> buffer(needed + 1);
        const DWORD count = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed + 1);
        if (count == 0 || count > needed + 1 || wcslen(buffer.data()) != count - 1) {
            return std::wstring();
        }
        return std::wstring(buffer.data(), count - 1);
    }

    // The expansion when the system can produce it whole, else the text as
    // stored; never a cut or overlong text.
    static std::wstring expected_for(const std::wstring& text) {
        const std::wstring whole = system_expansion(text);
        return whole.empty() ? text : whole;
    }

    scoped_environment_variable big_{L"ZENQO_BIG", std::wstring(20000, L'x')};
    scoped_environment_variable rest_{L"ZENQO_REST", std::wstring(12766, L'y')};
};

TEST_F(RegistryLongExpansion, LongerThanTheFirstBuffer) {
    const std::wstring text = L"%ZENQO_BIG%%ZENQO_BIG%";
    set_raw_string(L"long", REG_EXPAND_SZ, text, true);
    const std::wstring result = key(raw()).get_string(L"long");
    EXPECT_EQ(result.size(), expected_for(text).size());
    EXPECT_TRUE(result == expected_for(text));
}

TEST_F(RegistryLongExpansion, ResultThatFillsTheFirstBufferExactly) {
    // 32767 characters and the terminator: 32768.
    const std::wstring text = L"%ZENQO_BIG%%ZENQO_REST%z";
    set_raw_string(L"edge", REG_EXPAND_SZ, text, true);
    const std::wstring result = key(raw()).get_string(L"edge");
    EXPECT_EQ(result.size(), expected_for(text).size());
    EXPECT_TRUE(result == expected_for(text));
}

TEST_F(RegistryLongExpansion, ResultJustBelowTheLimitIsExpanded) {
    // 32766 characters: expanded everywhere.
    set_raw_string(L"fits", REG_EXPAND_SZ, L"%ZENQO_BIG%%ZENQO_REST%", true);
    const std::wstring result = key(raw()).get_string(L"fits");
    EXPECT_EQ(result.size(), 32766u);
    EXPECT_TRUE(result == std::wstring(20000, L'x') + std::wstring(12766, L'y'));
}

// ------------------------------------------------- types, sizes, missing

using RegistryValue = RegistryTest;

TEST_F(RegistryValue, DwordRoundTrip) {
    const key scratch(raw());
    scratch.set_dword(L"n", 0xFFFFFFFEu);
    EXPECT_EQ(scratch.get_dword(L"n"), 0xFFFFFFFEu);
    DWORD type = 0;
    EXPECT_EQ(test_support::raw_value(raw(), L"n", &type),
              (std::vector<BYTE>{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(RegistryValue, TypeMismatchesNameBothTypes) {
    const key scratch(raw());
    scratch.set_string(L"text", L"1");
    scratch.set_dword(L"number", 1);
    const char bytes[] = {1, 2};
    scratch.set_value(L"binary", REG_BINARY, bytes, sizeof bytes);
    set_raw_string(L"expand", REG_EXPAND_SZ, L"1", true);

    EXPECT_EQ(what_of<registry2::type_mismatch>([&] { scratch.get_dword(L"text"); }),
              "registry2.type_mismatch[Type mismatch: value \"text\" expected 4 found 1]");
    EXPECT_EQ(what_of<registry2::type_mismatch>([&] { scratch.get_string(L"number"); }),
              "registry2.type_mismatch[Type mismatch: value \"number\" expected 1 found 4]");
    EXPECT_EQ(what_of<registry2::type_mismatch>([&] { scratch.get_string(L"binary"); }),
              "registry2.type_mismatch[Type mismatch: value \"binary\" expected 1 found 3]");
    EXPECT_EQ(what_of<registry2::type_mismatch>([&] { scratch.get_dword(L"expand"); }),
              "registry2.type_mismatch[Type mismatch: value \"expand\" expected 4 found 2]");
}

TEST(RegistryCheckType, ExpandSzPassesForSzButNotTheOtherWayRound) {
    EXPECT_NO_THROW(key::check_type(L"v", REG_SZ, REG_SZ));
    EXPECT_NO_THROW(key::check_type(L"v", REG_SZ, REG_EXPAND_SZ));
    EXPECT_NO_THROW(key::check_type(L"v", REG_DWORD, REG_DWORD));
    EXPECT_EQ(what_of<registry2::type_mismatch>([] { key::check_type(L"v", REG_EXPAND_SZ, REG_SZ); }),
              "registry2.type_mismatch[Type mismatch: value \"v\" expected 2 found 1]");
    EXPECT_EQ(what_of<registry2::value_error>([] { key::check_type(L"v", REG_DWORD, 0); }),
              "registry2.value_error[Not found: value \"v\"]");
}

TEST_F(RegistryValue, SizeMismatchNamesBothSizes) {
    const key scratch(raw());
    const BYTE two[] = {1, 2};
    const BYTE eight[] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(raw_value_set(raw(), L"short", REG_DWORD, two, sizeof two));
    ASSERT_TRUE(raw_value_set(raw(), L"long", REG_DWORD, eight, sizeof eight));

    EXPECT_EQ(what_of<registry2::size_mismatch>([&] { scratch.get_dword(L"short"); }),
              "registry2.size_mismatch[Size mismatch: value \"short\" expected 4 found 2]");
    EXPECT_EQ(what_of<registry2::size_mismatch>([&] { scratch.get_dword(L"long"); }),
              "registry2.size_mismatch[Size mismatch: value \"long\" expected 4 found 8]");
    BYTE buffer[3] = {};
    scratch.set_dword(L"n", 1);
    EXPECT_EQ(what_of<registry2::size_mismatch>([&] { scratch.read(L"n", buffer, sizeof buffer); }),
              "registry2.size_mismatch[Size mismatch: value \"n\" expected 3 found 4]");
}

TEST_F(RegistryValue, MissingValue) {
    const key scratch(raw());
    EXPECT_EQ(what_of<registry2::value_error>([&] { scratch.get_string(L"missing"); }),
              "registry2.value_error[Not found: value \"missing\"]");
    EXPECT_EQ(what_of<registry2::value_error>([&] { scratch.get_dword(L"missing"); }),
              "registry2.value_error[Not found: value \"missing\"]");
    DWORD buffer = 0;
    EXPECT_EQ(what_of<registry2::value_error>([&] { scratch.read(L"missing", &buffer, 4); }),
              "registry2.value_error[RegQueryValueEx() failed: value \"missing\" (2)]");

    DWORD type = 99, size = 99;
    EXPECT_FALSE(scratch.value_type(L"missing", type, size));
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(size, 0u);
    scratch.set_string(L"s", L"abc");
    EXPECT_TRUE(scratch.value_type(L"s", type, size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 8u);
}

TEST_F(RegistryValue, NameOutsideTheAnsiCodePageRaisesTheConversionError) {
    if (!ansi_is_1252()) GTEST_SKIP() << "assumes ANSI code page 1252, which lacks U+4E2D";
    const key scratch(raw());
    EXPECT_THROW(scratch.get_string(L"\u4E2D"), replay::unicode::unmappable_character);
}

TEST_F(RegistryValue, DeleteValue) {
    const key scratch(raw());
    scratch.set_dword(L"n", 1);
    scratch.delete_value(L"n");
    EXPECT_TRUE(value_absent(raw(), L"n"));
    EXPECT_EQ(what_of<registry2::key_error>([&] { scratch.delete_value(L"n"); }),
              "registry2.key_error[RegDeleteValue() failed: value \"n\" (2)]");
}

// ----------------------------------------------------------- enumeration

using RegistryEnumeration = RegistryTest;

TEST_F(RegistryEnumeration, EmptyKeyGivesEmptySets) {
    const key scratch(raw());
    EXPECT_TRUE(scratch.value_names().empty());
    EXPECT_TRUE(scratch.subkey_names().empty());
}

TEST_F(RegistryEnumeration, NamesComeBackSortedByCodeUnits) {
    const key scratch(raw());
    for (const wchar_t* name : {L"b", L"a", L"C", L"a2", L"\u00E9"}) {
        scratch.set_dword(name, 1);
        key(scratch, name, /*create=*/true);
    }
    scratch.set_dword(L"", 1);
    // Upper case before lower case, the default value's empty name first.
    EXPECT_EQ(scratch.value_names(),
              (std::set<std::wstring>{L"", L"C", L"a", L"a2", L"b", L"\u00E9"}));
    const std::set<std::wstring> subkeys = scratch.subkey_names();
    EXPECT_EQ(std::vector<std::wstring>(subkeys.begin(), subkeys.end()),
              (std::vector<std::wstring>{L"C", L"a", L"a2", L"b", L"\u00E9"}));
}

TEST_F(RegistryEnumeration, NamesUpTo260Characters) {
    const key scratch(raw());
    const std::wstring longest(260, L'v');
    scratch.set_dword(longest, 1);
    EXPECT_EQ(scratch.value_names(), std::set<std::wstring>{longest});

    // The longest subkey name that Windows creates.
    const std::wstring long_key(255, L'k');
    key(scratch, long_key, /*create=*/true);
    EXPECT_EQ(scratch.subkey_names(), std::set<std::wstring>{long_key});
}

TEST_F(RegistryEnumeration, NamesLongerThanMaxPathAreListed) {
    const key scratch(raw());
    // A SharedDLLs name is a full path; the longest value name Windows takes
    // is 16383 characters.
    const std::set<std::wstring> names = {std::wstring(261, L'a'), std::wstring(300, L'b'), std::wstring(16383, L'c'),
                                          L"short"};
    for (const std::wstring& name : names) scratch.set_dword(name, 1);
    EXPECT_EQ(scratch.value_names(), names);
}

// -------------------------------------------------------------- deletion

using RegistryDeleteKey = RegistryTest;

TEST_F(RegistryDeleteKey, RecursiveRemovesTheWholeTree) {
    const key scratch(raw());
    key(scratch, L"tree\\a\\b\\c", true).set_dword(L"n", 1);
    key(scratch, L"tree\\a\\d", true);
    key(scratch, L"tree\\e", true).set_string(L"s", L"x");
    key(scratch, L"sibling", true);

    registry2::delete_key(scratch, L"tree", /*recursive=*/true);
    EXPECT_TRUE(key_absent(raw(), L"tree"));
    EXPECT_TRUE(key_exists(raw(), L"sibling"));
}

TEST_F(RegistryDeleteKey, NonRecursiveRefusesAKeyWithSubkeys) {
    const key scratch(raw());
    key(scratch, L"parent\\child", true);
    EXPECT_EQ(what_of<registry2::key_error>(
                  [&] { registry2::delete_key(scratch, L"parent", /*recursive=*/false); }),
              "registry2.key_error[RegDeleteKey() failed: key \"parent\" (5)]");
    EXPECT_TRUE(key_exists(raw(), L"parent\\child"));

    // A leaf goes, also through a path.
    registry2::delete_key(scratch, L"parent\\child", false);
    EXPECT_TRUE(key_absent(raw(), L"parent\\child"));
    registry2::delete_key(scratch, L"parent", false);
    EXPECT_TRUE(key_absent(raw(), L"parent"));
}

TEST_F(RegistryDeleteKey, MissingKey) {
    const key scratch(raw());
    EXPECT_EQ(what_of<registry2::key_error>(
                  [&] { registry2::delete_key(scratch, L"missing", /*recursive=*/false); }),
              "registry2.key_error[RegDeleteKey() failed: key \"missing\" (2)]");
    // The recursive form opens the key first.
    EXPECT_EQ(what_of<registry2::key_error>(
                  [&] { registry2::delete_key(scratch, L"missing", /*recursive=*/true); }),
              "registry2.key_error[RegOpenKeyEx() failed: key \"missing\" (2)]");
}

TEST_F(RegistryDeleteKey, GoesOnPastWhatItCannotDelete) {
    const key scratch(raw());
    for (const wchar_t* child : {L"tree\\b", L"tree\\c\\inner", L"tree\\c\\z", L"tree\\d\\e"}) key(scratch, child, true);
    test_support::key_dacl_override sealed(raw(), L"tree\\c\\inner", L"D:P");
    ASSERT_EQ(sealed.status(), ERROR_SUCCESS);

    std::wstring stayed;
    EXPECT_EQ(what_of<registry2::key_error>(
                  [&] { registry2::delete_key(scratch, L"tree", /*recursive=*/true, 0, &stayed); }),
              "registry2.key_error[RegOpenKeyEx() failed: key \"tree\\c\\inner\" (5)]");
    EXPECT_EQ(stayed, L"tree\\c\\inner");
    // Everything but the sealed key and its ancestors went, before and after it.
    EXPECT_TRUE(key_absent(raw(), L"tree\\b"));
    EXPECT_TRUE(key_absent(raw(), L"tree\\c\\z"));
    EXPECT_TRUE(key_absent(raw(), L"tree\\d"));
    EXPECT_TRUE(key_exists(raw(), L"tree\\c"));
}

TEST_F(RegistryDeleteKey, MissingKeyLeavesNothingBehind) {
    const key scratch(raw());
    std::wstring stayed = L"untouched";
    EXPECT_THROW(registry2::delete_key(scratch, L"missing", /*recursive=*/true, 0, &stayed), registry2::key_error);
    EXPECT_EQ(stayed, L"untouched");
}

TEST_F(RegistryDeleteKey, LinksAreDeletedThemselvesAndNeverFollowed) {
    const key scratch(raw());
    const key victim(scratch, L"victim\\inner", true);
    victim.set_dword(L"keep", 7);
    key(scratch, L"victim", false).set_string(L"also", L"kept");
    key(scratch, L"tree\\a", true).set_dword(L"n", 1);
    const replay::unique_hkey victim_root = make_raw(L"victim");
    const replay::unique_hkey tree_root = make_raw(L"tree");
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"tree\\a\\to-victim", victim_root.get()));
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"tree\\a\\to-ancestor", tree_root.get()));
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"lone-link", victim_root.get()));
    EXPECT_TRUE(registry2::is_link(raw(), L"tree\\a\\to-victim"));
    EXPECT_FALSE(registry2::is_link(raw(), L"tree\\a"));

    registry2::delete_key(scratch, L"tree", /*recursive=*/true);
    registry2::delete_key(scratch, L"lone-link", /*recursive=*/false);
    EXPECT_TRUE(key_absent(raw(), L"tree"));
    EXPECT_FALSE(registry2::is_link(raw(), L"lone-link"));
    EXPECT_TRUE(key_absent(raw(), L"lone-link"));
    EXPECT_EQ(key(scratch, L"victim\\inner", false).get_dword(L"keep"), 7u);
    EXPECT_EQ(key(scratch, L"victim", false).get_string(L"also"), L"kept");
}

// A path opened a key at a time never passes through a link: a link at any
// level raises; empty parts are passed over.
TEST_F(RegistryDeleteKey, OpeningAPathWithoutLinksRefusesEveryLevelThatIsOne) {
    const key scratch(raw());
    key(scratch, L"victim\\inner", true).set_dword(L"keep", 7);
    key(scratch, L"own\\a\\b", true).set_dword(L"n", 1);
    const replay::unique_hkey victim_root = make_raw(L"victim");
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"own\\a\\to-victim", victim_root.get()));
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"to-victim", victim_root.get()));

    EXPECT_EQ(registry2::open_without_links(scratch, L"own\\\\a\\b\\")->get_dword(L"n"), 1u);
    EXPECT_EQ(registry2::open_without_links(scratch, L"victim\\inner")->get_dword(L"keep"), 7u);
    for (const wchar_t* through : {L"own\\a\\to-victim", L"own\\a\\to-victim\\inner", L"to-victim\\inner"}) {
        SCOPED_TRACE(testing::Message() << through);
        EXPECT_THROW(registry2::open_without_links(scratch, through), registry2::key_error);
    }
    EXPECT_THROW(registry2::open_without_links(scratch, L"own\\missing"), registry2::key_error);
}

TEST_F(RegistryDeleteKey, DeletingOneKeyByHandleTakesALinkNotItsTarget) {
    const key scratch(raw());
    const key victim(scratch, L"victim", true);
    victim.set_dword(L"keep", 7);
    const replay::unique_hkey victim_root = make_raw(L"victim");
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(raw(), L"link", victim_root.get()));
    key(scratch, L"leaf", true);

    EXPECT_EQ(registry2::delete_subkey(raw(), L"link", 0), ERROR_SUCCESS);
    EXPECT_EQ(registry2::delete_subkey(raw(), L"leaf", 0), ERROR_SUCCESS);
    EXPECT_EQ(registry2::delete_subkey(raw(), L"missing", 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry2::delete_subkey(raw(), L"", 0), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(key_absent(raw(), L"link"));
    EXPECT_TRUE(key_absent(raw(), L"leaf"));
    EXPECT_EQ(key(scratch, L"victim", false).get_dword(L"keep"), 7u);
}

TEST_F(RegistryDeleteKey, EmptyNameDeletesNothing) {
    const key scratch(raw());
    const key parent(scratch, L"parent", /*create=*/true);
    key(parent, L"child", true);
    parent.set_dword(L"n", 1);

    for (bool recursive : {false, true}) {
        SCOPED_TRACE(recursive ? "recursive" : "not recursive");
        EXPECT_EQ(what_of<registry2::key_error>(
                      [&] { registry2::delete_key(parent, L"", recursive); }),
                  "registry2.key_error[RegDeleteKey() failed: key \"\" (87)]");
        EXPECT_TRUE(key_exists(raw(), L"parent\\child"));
    }
    EXPECT_EQ(parent.get_dword(L"n"), 1u);
}

// ------------------------------------------------------- registry views

// Only a 64-bit program has another view to keep: the 32-bit program's own
// view is the 32-bit one already, so the test is not built there.
#ifdef _WIN64
TEST(RegistryView, KeyObjectStaysInTheViewOfItsParentHandle) {
    // Cleans up Wow6432Node\ZENQOUnitTests\<name> afterwards.
    test_support::scratch_key scratch(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZENQOUnitTests",
                                      KEY_WOW64_32KEY);
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    const std::wstring below_software = scratch.path().substr(std::wstring(L"SOFTWARE\\").size());
    const std::wstring native_path = L"SOFTWARE\\" + below_software;
    const std::wstring wow_path = L"SOFTWARE\\Wow6432Node\\" + below_software;
    ASSERT_TRUE(key_exists(HKEY_LOCAL_MACHINE, wow_path));

    replay::unique_hkey software32;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ | KEY_WOW64_32KEY,
                            software32.put()),
              ERROR_SUCCESS);
    const key software(software32.get());
    {
        const key made(software, below_software + L"\\made", /*create=*/true);
        made.set_string(L"v", L"32-bit view");
        const key child(made, L"child", /*create=*/true);
        child.set_dword(L"n", 32);
    }
    // Seen from the 64-bit view, it is below Wow6432Node.
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, wow_path + L"\\made\\child"));
    EXPECT_TRUE(key_absent(HKEY_LOCAL_MACHINE, native_path + L"\\made"));
    EXPECT_EQ(key(key(HKEY_LOCAL_MACHINE), wow_path + L"\\made", false).get_string(L"v"),
              L"32-bit view");
    EXPECT_EQ(key(software, below_software + L"\\made\\child", false).get_dword(L"n"), 32u);

    registry2::delete_key(software, below_software + L"\\made", /*recursive=*/true);
    EXPECT_TRUE(key_absent(HKEY_LOCAL_MACHINE, wow_path + L"\\made"));
}

// Windows does not remember a handle's view: a key reached in the 32-bit view
// through an empty subkey name is the root itself, and only the flag the key
// object keeps takes a copy of it, and the keys below, to the same view.
TEST(RegistryView, CopiesAndKeysBelowKeepTheViewTheyWereReachedIn) {
    test_support::scratch_key scratch(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZENQOUnitTests",
                                      KEY_WOW64_32KEY);
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    ASSERT_TRUE(key_absent(HKEY_LOCAL_MACHINE, scratch.path()));
    ASSERT_EQ(RegSetValueExW(scratch.get(), L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"32"),
                             3 * sizeof(wchar_t)),
              ERROR_SUCCESS);

    const key machine(key(HKEY_LOCAL_MACHINE), L"", /*create=*/false, KEY_WOW64_32KEY);
    const key copy(machine);
    EXPECT_EQ(copy.view(), static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(key(copy, scratch.path(), false).get_string(L"v"), L"32");
    const key software(copy, L"SOFTWARE", false);
    key temporary(software);
    const key moved(std::move(temporary));
    EXPECT_EQ(key(moved, scratch.path().substr(9), false).get_string(L"v"), L"32");

    // Deletions below the copy happen in its view as well.
    { const key made(copy, scratch.path() + L"\\made\\child", /*create=*/true); }
    registry2::delete_key(copy, scratch.path() + L"\\made", /*recursive=*/true);
    EXPECT_TRUE(key_absent(scratch.get(), L"made"));
}
#endif

}  // namespace
