#pragma once
// The text regedit writes and reads (.reg files, "Windows Registry Editor
// Version 5.00"): pure text, no registry access.
#include <windows.h>

#include <cstddef>
#include <string>

namespace replay::registry2 {

// The start of a file, after its byte order mark.
constexpr wchar_t regedit_file_header[] = L"Windows Registry Editor Version 5.00\r\n\r\n";
constexpr wchar_t byte_order_mark = 0xFEFF;

// A name or text between double quotes, escaped as regedit reads it: a
// backslash or quote is escaped, a line break is written as \r or \n.
std::wstring quoted(const std::wstring& text);

// Whether regedit reads the key name back as it is between "[" and "]": no
// line break or other control character, and no "]".
bool importable_key_name(const std::wstring& name);

// Text for a comment, between double quotes, with nothing in it able to end
// the line: a backslash or quote is escaped, CR, LF, tab and NUL are written
// as \r, \n, \t and \0, and every other control character as \xHHHH.
std::wstring escaped(const std::wstring& text);

// One key's entry, ending with an empty line: "[name]" (or "[-name]" when
// `deleting`) and then `values`, lines that each end with CR LF. A name that
// regedit cannot read back is written escaped in a comment that says why the
// key cannot be restored by import, and every line of `values` is commented
// out, so that nothing read from the registry makes a line of its own.
std::wstring reg_key_entry(const std::wstring& name, bool deleting, const std::wstring& values);

// The comment noting a registry link, which regedit cannot make: the link's
// name and its target, both escaped.
std::wstring reg_link_comment(const std::wstring& name, const std::wstring& target);

// One value line the way regedit writes it: "name" (or @ for the default
// value), "=", then "text" for a well-formed REG_SZ, dword:xxxxxxxx for a
// 4-byte REG_DWORD, and hex: (REG_BINARY) or hex(N): bytes for every other
// type and size. Long hex data is wrapped with a trailing backslash.
std::wstring reg_value_line(const std::wstring& name, DWORD type, const void* data, std::size_t size);

// "<program>.backup-YYYYMMDD-HHMMSS.reg" for the given local time.
std::wstring backup_file_name(const std::wstring& program, const SYSTEMTIME& time);

}  // namespace replay::registry2
