#include "replay/registry2/backup.hpp"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>
#include <utility>

#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"
#include "replay/system_function.hpp"

namespace replay::registry2 {

namespace {

constexpr wchar_t file_header[] = L"Windows Registry Editor Version 5.00\r\n\r\n";
constexpr wchar_t byte_order_mark = 0xFEFF;
constexpr wchar_t link_value_name[] = L"SymbolicLinkValue";
// regedit's own wrapping: a hex line is continued once it passes this column.
constexpr std::size_t hex_wrap_column = 76;
// Longest key name (255) and room for its terminator.
constexpr DWORD key_name_chars = 256;

// KEY_NAME_INFORMATION of NtQueryKey: the key's name in the system's own
// namespace (\REGISTRY\MACHINE\...), after any view redirection.
constexpr int key_name_information = 3;
constexpr LONG status_buffer_overflow = static_cast<LONG>(0x80000005);
constexpr LONG status_buffer_too_small = static_cast<LONG>(0xC0000023);

// Registry names compare without regard to letter case.
std::wstring folded(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool starts_with_nocase(const std::wstring& text, const std::wstring& head) {
    return text.size() >= head.size() && folded(text.substr(0, head.size())) == folded(head) &&
           (text.size() == head.size() || text[head.size()] == L'\\');
}

std::wstring system_key_name(HKEY key) {
    using nt_query_key = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = system_function<nt_query_key>(L"ntdll.dll", "NtQueryKey");
    if (query == nullptr) return std::wstring();
    std::vector<BYTE> buffer(1024);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(key, key_name_information, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if ((status == status_buffer_overflow || status == status_buffer_too_small) && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        if (status != 0) return std::wstring();
        ULONG length = 0;
        std::memcpy(&length, buffer.data(), sizeof length);
        return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof length), length / sizeof(wchar_t));
    }
    return std::wstring();
}

// The running user's SID as text; the hive of HKEY_CURRENT_USER bears it.
const std::wstring& user_sid() {
    static const std::wstring sid = [] {
        token_handle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        std::vector<BYTE> user(size);
        if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return std::wstring();
        wchar_t* text = nullptr;
        if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) return std::wstring();
        std::wstring result(text);
        LocalFree(text);
        return result;
    }();
    return sid;
}

// A name or text between double quotes, escaped as regedit reads it; a
// line break inside would otherwise end the line.
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

struct value_data {
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

// The raw value; false when it does not exist or cannot be read.
bool read_value(HKEY key, const std::wstring& name, value_data& value) {
    DWORD size = 0;
    LSTATUS result = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size);
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < 3; ++attempt) {
        value.bytes.resize(size);
        result = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.bytes.data(), &size);
        if (result == ERROR_SUCCESS) {
            value.bytes.resize(size);
            return true;
        }
        if (result == ERROR_MORE_DATA) result = ERROR_SUCCESS;  // grew meanwhile
    }
    return false;
}

class backup {
public:
    void start(const std::wstring& file_name, const std::vector<std::wstring>& folders) {
        const std::lock_guard<std::mutex> guard(lock_);
        file_.reset();
        path_.clear();
        failed_ = false;
        saved_keys_.clear();
        saved_values_.clear();
        created_keys_.clear();
        file_name_ = file_name;
        folders_ = folders;
        active_ = true;
    }

    void stop() {
        const std::lock_guard<std::mutex> guard(lock_);
        file_.reset();
        active_ = false;
    }

    std::wstring path() {
        const std::lock_guard<std::mutex> guard(lock_);
        return path_;
    }

    void value(HKEY key, const std::wstring& name, bool deleting) {
        const std::lock_guard<std::mutex> guard(lock_);
        if (!active_) return;
        const std::wstring key_name = full_key_name(key);
        if (key_name.empty() || saved_keys_.count(folded(key_name)) != 0) return;
        auto saved = std::make_pair(folded(key_name), folded(name));
        if (saved_values_.count(saved) != 0) return;
        value_data data;
        std::wstring line;
        if (read_value(key, name, data)) {
            line = reg_value_line(name, data.type, data.bytes.data(), data.bytes.size());
        } else if (deleting) {
            return;  // nothing to save: the deletion fails
        } else {
            line = (name.empty() ? std::wstring(L"@") : quoted(name)) + L"=-";
        }
        saved_values_.insert(std::move(saved));
        write(L"[" + key_name + L"]\r\n" + line + L"\r\n\r\n");
    }

    void tree(HKEY parent, const std::wstring& name, REGSAM view, bool recursive) {
        const std::lock_guard<std::mutex> guard(lock_);
        if (!active_) return;
        unique_hkey top;
        if (RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, top.put()) != ERROR_SUCCESS) {
            return;  // nothing to save: the deletion fails
        }
        if (!recursive) {
            // Windows refuses to delete a key that still has subkeys.
            DWORD subkeys = 0;
            if (RegQueryInfoKeyW(top.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                subkeys != 0) {
                return;
            }
        }
        const std::wstring key_name = full_key_name(top.get());
        if (key_name.empty()) return;
        std::wstring text;
        export_tree(top.get(), key_name, view, text);
        write(text);
    }

    void created(HKEY key) {
        const std::lock_guard<std::mutex> guard(lock_);
        if (!active_) return;
        const std::wstring key_name = full_key_name(key);
        const std::wstring folded_key = folded(key_name);
        if (key_name.empty() || !saved_keys_.insert(folded_key).second) return;
        created_keys_.insert(folded_key);
        write(L"[-" + key_name + L"]\r\n\r\n");
    }

private:
    // The key and everything below it, parents first. Values saved before
    // (a counter lowered earlier in the run) keep their first entry.
    void export_tree(HKEY key, const std::wstring& key_name, REGSAM view, std::wstring& text) {
        const std::wstring folded_key = folded(key_name);
        // Made during the run, and everything below it since: its entry
        // already deletes it.
        if (created_keys_.count(folded_key) != 0) return;
        if (holds_link_value(key)) {
            value_data target;
            read_value(key, link_value_name, target);
            text += L"; " + key_name + L" was a registry link to " +
                    std::wstring(reinterpret_cast<const wchar_t*>(target.bytes.data()),
                                 target.bytes.size() / sizeof(wchar_t)) +
                    L"; regedit cannot make one\r\n\r\n";
            return;
        }
        text += L"[" + key_name + L"]\r\n";
        if (saved_keys_.insert(folded_key).second) export_values(key, folded_key, text);
        text += L"\r\n";
        std::vector<std::wstring> children;
        for (DWORD index = 0;; ++index) {
            wchar_t child[key_name_chars];
            DWORD length = key_name_chars;
            if (RegEnumKeyExW(key, index, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            children.emplace_back(child, length);
        }
        for (const std::wstring& child : children) {
            unique_hkey opened;
            if (RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, opened.put()) == ERROR_SUCCESS) {
                export_tree(opened.get(), key_name + L"\\" + child, view, text);
            }
        }
    }

    void export_values(HKEY key, const std::wstring& folded_key, std::wstring& text) {
        DWORD name_chars = 0;
        DWORD data_bytes = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &name_chars,
                             &data_bytes, nullptr, nullptr) != ERROR_SUCCESS) {
            return;
        }
        std::vector<wchar_t> name(name_chars + 1);
        std::vector<BYTE> data(data_bytes);
        for (DWORD index = 0;;) {
            DWORD name_length = static_cast<DWORD>(name.size());
            DWORD size = static_cast<DWORD>(data.size());
            DWORD type = 0;
            const LSTATUS result =
                RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(), &size);
            if (result == ERROR_MORE_DATA) {
                // Grown since the key was asked: make room and read it again.
                name.resize(name.size() * 2 + key_name_chars);
                data.resize(std::max<std::size_t>(data.size() * 2, size));
                continue;
            }
            if (result != ERROR_SUCCESS) return;
            ++index;
            const std::wstring value_name(name.data(), name_length);
            if (saved_values_.count({folded_key, folded(value_name)}) != 0) continue;
            text += reg_value_line(value_name, type, data.data(), size) + L"\r\n";
        }
    }

    // Appends one entry and flushes it. The file is opened on the first
    // entry; when no folder takes it, nothing more is tried.
    void write(const std::wstring& entry) {
        if (!file_ && !failed_) open();
        if (!file_) return;
        DWORD written = 0;
        WriteFile(file_.get(), entry.data(), static_cast<DWORD>(entry.size() * sizeof(wchar_t)), &written, nullptr);
        FlushFileBuffers(file_.get());
    }

    void open() {
        for (const std::wstring& folder : folders_) {
            const std::wstring candidate = folder + file_name_;
            file_.reset(CreateFileW(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file_) continue;
            LARGE_INTEGER size{};
            if (!GetFileSizeEx(file_.get(), &size) || !SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, FILE_END)) {
                file_.reset();
                continue;
            }
            if (size.QuadPart == 0) {
                const std::wstring header = std::wstring(1, byte_order_mark) + file_header;
                DWORD written = 0;
                if (!WriteFile(file_.get(), header.data(), static_cast<DWORD>(header.size() * sizeof(wchar_t)),
                               &written, nullptr)) {
                    file_.reset();
                    continue;
                }
            }
            wchar_t full[MAX_PATH];
            const DWORD length = GetFullPathNameW(candidate.c_str(), MAX_PATH, full, nullptr);
            path_ = (length == 0 || length >= MAX_PATH) ? candidate : std::wstring(full, length);
            return;
        }
        failed_ = true;
    }

    std::mutex lock_;
    file_handle file_;
    std::wstring path_;
    std::wstring file_name_;
    std::vector<std::wstring> folders_;
    bool active_ = false;
    bool failed_ = false;
    // Folded full names of keys saved whole, and (key, value) pairs saved.
    std::set<std::wstring> saved_keys_;
    std::set<std::pair<std::wstring, std::wstring>> saved_values_;
    // Folded full names of keys the run created.
    std::set<std::wstring> created_keys_;
};

backup& the_backup() {
    static backup instance;
    return instance;
}

}  // namespace

std::wstring full_key_name(HKEY key) {
    std::wstring name = system_key_name(key);
    if (name.empty()) {
        // A predefined handle has no name of its own: open the key behind it.
        unique_hkey opened;
        if (RegOpenKeyExW(key, nullptr, 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS) return std::wstring();
        name = system_key_name(opened.get());
    }
    const std::wstring machine = L"\\REGISTRY\\MACHINE";
    const std::wstring users = L"\\REGISTRY\\USER";
    const std::wstring user = users + L"\\" + user_sid();
    const std::wstring user_classes = user + L"_Classes";
    if (starts_with_nocase(name, machine)) return L"HKEY_LOCAL_MACHINE" + name.substr(machine.size());
    if (!user_sid().empty() && starts_with_nocase(name, user_classes)) {
        return L"HKEY_CURRENT_USER\\Software\\Classes" + name.substr(user_classes.size());
    }
    if (!user_sid().empty() && starts_with_nocase(name, user)) return L"HKEY_CURRENT_USER" + name.substr(user.size());
    if (starts_with_nocase(name, users)) return L"HKEY_USERS" + name.substr(users.size());
    return std::wstring();
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

void start_backup(const std::wstring& file_name, const std::vector<std::wstring>& folders) {
    the_backup().start(file_name, folders);
}

void stop_backup() { the_backup().stop(); }

std::wstring backup_path() { return the_backup().path(); }

void back_up_value(HKEY key, const std::wstring& name, bool deleting) {
    try {
        the_backup().value(key, name, deleting);
    } catch (...) {
        // The deletion or change goes on without its entry.
    }
}

void back_up_key(HKEY parent, const std::wstring& name, REGSAM view, bool recursive) {
    try {
        the_backup().tree(parent, name, view, recursive);
    } catch (...) {
    }
}

void back_up_created_key(HKEY key) {
    try {
        the_backup().created(key);
    } catch (...) {
    }
}

}  // namespace replay::registry2
