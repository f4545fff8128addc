#pragma once
// Typed, exception-based access to registry keys and their values.
//
// Every open asks for read and write access first and, when Windows refuses
// with ERROR_ACCESS_DENIED, once more for read access only; a key opened that
// way still reads, and its writes and deletions fail with error 5.
//
// Windows does not remember a handle's registry view for later opens below
// it, so a key object does: the KEY_WOW64_* flags it was opened with are
// added to every open below it and to every copy of it.
//
// Names are wide; the empty value name is the key's default value. Messages
// show names converted strictly to the ANSI code page: a name that the code
// page cannot hold raises replay::unicode::unmappable_character instead of
// the registry error. After any exception the key object stays usable.
//
// Every deletion and change made here is first saved to the run's registry
// backup when one is started (registry2/backup.hpp); code that must call
// the registry itself goes through delete_value and delete_subkey below.
#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

#include "replay/handle.hpp"
#include "replay/registry2/errors.hpp"
#include "replay/registry2/links.hpp"

namespace replay::registry2 {

constexpr REGSAM read_write = KEY_READ | KEY_WRITE;
static_assert(read_write == 0x2001F);
constexpr REGSAM read_only = KEY_READ;
static_assert(read_only == 0x20019);

// The first size of the enumerations' name buffers, in characters; longer
// names are listed too.
constexpr DWORD max_name_length = MAX_PATH;
static_assert(max_name_length == 260);

class key {
public:
    // A second handle to the key behind `handle` (a predefined root such as
    // HKEY_LOCAL_MACHINE, or a handle the caller opened and still owns),
    // reached in `view` (0 or a KEY_WOW64_* flag), which the key keeps.
    // Raises key_error "RegOpenKeyEx() failed: handle %i (%i)".
    explicit key(HKEY handle, REGSAM view = 0);

    // A second handle to the same key in the same view, opened anew. Raises
    // key_error "RegOpenKeyEx() failed: handle %i (%i)".
    key(const key& other);

    // Leaves `other` without a handle; its operations then fail.
    key(key&& other) noexcept;

    // The subkey `name` (backslashes allowed) of `parent`. With `create` set
    // the key is created when missing, for read and write access only (a
    // key it creates goes to the backup as one to delete); raises key_error
    // "RegCreateKeyEx() failed: key \"%s\" (%i)". Otherwise
    // it is opened; raises key_error "RegOpenKeyEx() failed: key \"%s\" (%i)".
    // `view` adds KEY_WOW64_* flags to those the parent keeps (a 32-bit
    // program reaching the 64-bit view); the new key keeps both. `options`
    // are RegOpenKeyEx options (REG_OPTION_OPEN_LINK opens a link itself).
    key(const key& parent, const std::wstring& name, bool create, REGSAM view = 0, DWORD options = 0);

    key& operator=(const key&) = delete;
    key& operator=(key&&) = delete;
    ~key() = default;

    HKEY handle() const noexcept { return handle_.get(); }
    // The KEY_WOW64_* flags of every open below this key; 0 for none.
    REGSAM view() const noexcept { return view_; }

    // Type and size in bytes of a value, without its data. Returns false on
    // any failure and then sets both to 0 (0 is no value type: a missing
    // value reads as type 0).
    bool value_type(const std::wstring& name, DWORD& type, DWORD& size) const;

    // Checks a type found by value_type; REG_EXPAND_SZ passes where REG_SZ is
    // expected. Raises value_error "Not found: value \"%s\"" for type 0, and
    // type_mismatch "Type mismatch: value \"%s\" expected %i found %i".
    static void check_type(const std::wstring& name, DWORD expected, DWORD found);

    // Reads exactly `size` bytes of the value's data. Raises size_mismatch
    // "Size mismatch: value \"%s\" expected %i found %i" when the stored size
    // differs (checked first), value_error
    // "RegQueryValueEx() failed: value \"%s\" (%i)" on another failure.
    void read(const std::wstring& name, void* buffer, DWORD size) const;

    // A REG_SZ or REG_EXPAND_SZ value as text, without its terminating null
    // when it has one; REG_EXPAND_SZ values come back with environment
    // variables expanded, or unexpanded when the expansion fails. Raises as
    // check_type and read do.
    //   get_string(name)               : the wide text
    //   get_string<std::string>(name)  : the same text in the ANSI code page,
    //                                    converted strictly (a character it
    //                                    cannot hold raises
    //                                    replay::unicode::unmappable_character)
    template <typename Text = std::wstring>
    Text get_string(const std::wstring& name) const;

    // A REG_DWORD value of exactly 4 bytes. Raises as check_type and read do.
    DWORD get_dword(const std::wstring& name) const;

    // Writes a value of any type, after saving its old state to the backup.
    // Raises value_error
    // "RegSetValueEx() failed: value \"%s\" (%i)".
    void set_value(const std::wstring& name, DWORD type, const void* data, DWORD size) const;
    // REG_SZ with its terminating null. Raises as set_value.
    void set_string(const std::wstring& name, const std::wstring& text) const;
    // REG_DWORD, 4 bytes. Raises as set_value.
    void set_dword(const std::wstring& name, DWORD value) const;

    // Deletes the value, after saving it to the backup. Raises key_error
    // "RegDeleteValue() failed: value \"%s\" (%i)", also when the value does
    // not exist (2).
    void delete_value(const std::wstring& name) const;

    // All value names, sorted by UTF-16 code units, whatever their length
    // (SharedDLLs names are full paths, often longer than MAX_PATH): the
    // buffer is sized from RegQueryInfoKeyW and grown when a longer name was
    // added meanwhile. A listing that fails raises key_error
    // "RegEnumValue() failed: handle %i (%i)" with the Windows code.
    std::set<std::wstring> value_names() const;
    // All subkey names, the same way; key_error "RegEnumKeyEx() failed: handle %i (%i)".
    std::set<std::wstring> subkey_names() const;

private:
    unique_hkey handle_;
    REGSAM view_ = 0;
};

template <>
std::wstring key::get_string<std::wstring>(const std::wstring& name) const;
template <>
std::string key::get_string<std::string>(const std::wstring& name) const;

// Deletes the subkey `name` of `parent`. With `recursive` set its subkeys go
// first, depth first in sorted order, and the deletion goes on past a key it
// cannot open, list or delete: everything else goes, and only that key and
// its ancestors stay. Without it a key that still has subkeys is refused by
// Windows. When anything stayed, or the key was not there, raises key_error
// for the first failure: "RegOpenKeyEx() failed: key \"%s\" (%i)" or
// "RegDeleteKey() failed: key \"%s\" (%i)" with the failing key's path below
// `parent` ("name\\child"); `stayed`, when given, then receives that path,
// unless the key `name` itself was missing. A subkey that goes away meanwhile
// is no failure. An empty name raises that key_error with
// ERROR_INVALID_PARAMETER (87) and deletes nothing: Windows would delete the
// parent key itself.
// A registry link is never followed: the key `name` or any key below it
// that is a link is deleted as the link itself, and its target stays. Each
// key is opened once and listed and deleted through that handle, never by
// name again.
// `view` adds KEY_WOW64_* flags to those `parent` keeps, for every open and
// deletion below it.
// The whole subtree is saved to the backup first.
void delete_key(const key& parent, const std::wstring& name, bool recursive, REGSAM view = 0,
                std::wstring* stayed = nullptr);
// Deletes a subkey that has no subkeys, in the given view (0 or a
// KEY_WOW64_* flag), for a parent handle the caller opened. Returns the
// Windows result; ERROR_INVALID_PARAMETER for an empty name. A link is never
// followed: the key is opened once, as the link itself where it is one, and
// deleted through that handle. The key is saved to the backup first.
LSTATUS delete_subkey(HKEY parent, const std::wstring& name, REGSAM view);
// RegDeleteValueW on a handle the caller opened, after saving the value to
// the backup. Returns the Windows result.
LSTATUS delete_value(HKEY key, const std::wstring& name);

// How many registry calls the key objects of this process have made to open,
// create and enumerate keys and values: what a walk costs, for measurements.
std::uint64_t registry_calls();

}  // namespace replay::registry2
