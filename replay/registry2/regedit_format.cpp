#include "replay/registry2/regedit_format.hpp"

#include <cstring>
#include <cwchar>
#include <utility>

namespace replay::registry2 {

namespace {

// regedit's own wrapping: a hex line is continued once it passes this column.
constexpr std::size_t hex_wrap_column = 76;

// A REG_SZ that reads back the same through "text": whole characters, one
// terminating null and no other, no line break.
bool plain_text(const BYTE* data, std::size_t size) {
    if (size < sizeof(wchar_t) || size % sizeof(wchar_t) != 0) return false;
    const std::size_t count = size / sizeof(wchar_t);
    for (std::size_t i = 0; i < count; ++i) {
        wchar_t c;
        std::memcpy(&c, data + i * sizeof c, sizeof c);
        if ((c == L'\0') != (i + 1 == count) || c == L'\r' || c == L'\n') return false;
    }
    return true;
}

std::wstring hex_data(std::wstring line, DWORD type, const BYTE* data, std::size_t size) {
    wchar_t prefix[16];
    if (type == REG_BINARY) {
        std::wcscpy(prefix, L"hex:");
    } else {
        std::swprintf(prefix, sizeof prefix / sizeof *prefix, L"hex(%x):", static_cast<unsigned>(type));
    }
    line += prefix;
    std::size_t column = line.size();
    for (std::size_t i = 0; i < size; ++i) {
        wchar_t byte[3];
        std::swprintf(byte, 3, L"%02x", static_cast<unsigned>(data[i]));
        line += byte;
        column += 2;
        if (i + 1 == size) break;
        line += L',';
        ++column;
        if (column > hex_wrap_column) {
            line += L"\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

}  // namespace

// Escapes line breaks too: inside the quotes they would end the line.
std::wstring quoted(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n') {
            out += c == L'\r' ? L"\\r" : L"\\n";
            continue;
        }
        if (c == L'\\' || c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

namespace {

// C0 and C1 controls and DEL.
bool control_character(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

bool importable_key_name(const std::wstring& name) {
    for (wchar_t c : name) {
        if (control_character(c) || c == L']') return false;
    }
    return true;
}

std::wstring escaped(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        switch (c) {
            case L'\\': out += L"\\\\"; break;
            case L'"': out += L"\\\""; break;
            case L'\r': out += L"\\r"; break;
            case L'\n': out += L"\\n"; break;
            case L'\t': out += L"\\t"; break;
            case L'\0': out += L"\\0"; break;
            default:
                if (control_character(c)) {
                    wchar_t code[8];
                    std::swprintf(code, 8, L"\\x%04x", static_cast<unsigned>(c));
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    return out + L"\"";
}

std::wstring reg_key_entry(const std::wstring& name, bool deleting, const std::wstring& values) {
    if (importable_key_name(name)) return (deleting ? L"[-" : L"[") + name + L"]\r\n" + values + L"\r\n";
    std::wstring entry = L"; " + escaped(name) +
                         (deleting ? L" was made by the run and cannot be deleted by import" : L" cannot be restored by import") +
                         L": its name holds a line break, another control character or \"]\", which regedit would read as "
                         L"other lines or another key\r\n";
    // Each line of the values is commented out; a wrapped hex line too.
    std::size_t start = 0;
    while (start < values.size()) {
        std::size_t end = values.find(L"\r\n", start);
        if (end == std::wstring::npos) end = values.size();
        entry += L"; " + values.substr(start, end - start) + L"\r\n";
        start = end + 2;
    }
    return entry + L"\r\n";
}

std::wstring reg_link_comment(const std::wstring& name, const std::wstring& target) {
    return L"; " + escaped(name) + L" was a registry link to " + escaped(target) +
           L"; regedit cannot make one\r\n\r\n";
}

std::wstring reg_value_line(const std::wstring& name, DWORD type, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    std::wstring line = (name.empty() ? std::wstring(L"@") : quoted(name)) + L"=";
    if (type == REG_SZ && plain_text(bytes, size)) {
        return line + quoted(std::wstring(reinterpret_cast<const wchar_t*>(bytes), size / sizeof(wchar_t) - 1));
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        std::memcpy(&value, bytes, sizeof value);
        wchar_t text[16];
        std::swprintf(text, 16, L"dword:%08lx", static_cast<unsigned long>(value));
        return line + text;
    }
    return hex_data(std::move(line), type, bytes, size);
}

std::wstring backup_file_name(const std::wstring& program, const SYSTEMTIME& time) {
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L".backup-%04u%02u%02u-%02u%02u%02u.reg", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return program + stamp;
}

}  // namespace replay::registry2
