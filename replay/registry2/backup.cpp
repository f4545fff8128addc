#include "replay/registry2/backup.hpp"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>
#include <utility>

#include "replay/exception.hpp"
#include "replay/files/links.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/backup_file.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/registry2/links.hpp"
#include "replay/registry2/regedit_format.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::registry2 {

namespace {

using detail::backup_security;
using detail::discard_incomplete;
using detail::numbered;

// Longest key name (255) and room for its terminator.
constexpr DWORD key_name_chars = 256;
// Names tried in each folder: the plain one, then "-2" to "-99".
constexpr int backup_names_per_folder = 99;
constexpr DWORD backup_access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
// A link at the backup's name is opened as itself, never as its target.
constexpr DWORD backup_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

// (key, value) pairs ordered by the key's name, then the value's.
struct name_pair_less {
    bool operator()(const std::pair<std::wstring, std::wstring>& a,
                    const std::pair<std::wstring, std::wstring>& b) const {
        const int keys = unicode::compare_names(a.first, b.first);
        return keys != 0 ? keys < 0 : unicode::compare_names(a.second, b.second) < 0;
    }
};

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
        reported_ = false;
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
        if (key_name.empty() || saved_keys_.count(key_name) != 0) return;
        auto saved = std::make_pair(key_name, name);
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
        write(reg_key_entry(key_name, /*deleting=*/false, line + L"\r\n"));
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
        if (key_name.empty() || !saved_keys_.insert(key_name).second) return;
        created_keys_.insert(key_name);
        write(reg_key_entry(key_name, /*deleting=*/true, std::wstring()));
    }

private:
    // The key and everything below it, parents first. Values saved before
    // (a counter lowered earlier in the run) keep their first entry.
    void export_tree(HKEY key, const std::wstring& key_name, REGSAM view, std::wstring& text) {
        // Made during the run, and everything below it since: its entry
        // already deletes it.
        if (created_keys_.count(key_name) != 0) return;
        if (holds_link_value(key)) {
            value_data target;
            read_value(key, link_value_name, target);
            text += reg_link_comment(key_name, std::wstring(reinterpret_cast<const wchar_t*>(target.bytes.data()),
                                                            target.bytes.size() / sizeof(wchar_t)));
            return;
        }
        // A name regedit cannot read back goes out as comments, its values and
        // its subtree too (their names begin with it).
        std::wstring values;
        if (saved_keys_.insert(key_name).second) export_values(key, key_name, values);
        text += reg_key_entry(key_name, /*deleting=*/false, values);
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

    void export_values(HKEY key, const std::wstring& key_name, std::wstring& text) {
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
            if (saved_values_.count({key_name, value_name}) != 0) continue;
            text += reg_value_line(value_name, type, data.data(), size) + L"\r\n";
        }
    }

    // Appends one entry and flushes it. The file is created on the first
    // entry; when no folder takes it, nothing more is tried. The first
    // failure is logged, once in the run. A file that could not be written
    // whole (a full disk) is deleted, or renamed when it cannot be: it must
    // never be imported as the backup it is not.
    void write(const std::wstring& entry) {
        if (!file_ && !failed_) open();
        if (!file_) return;
        const DWORD size = static_cast<DWORD>(entry.size() * sizeof(wchar_t));
        DWORD written = 0;
        DWORD error = ERROR_SUCCESS;
        if (!WriteFile(file_.get(), entry.data(), size, &written, nullptr)) {
            error = GetLastError();
        } else if (written != size) {
            error = ERROR_DISK_FULL;
        } else if (!FlushFileBuffers(file_.get())) {
            error = GetLastError();
        }
        if (error == ERROR_SUCCESS) return;
        const std::wstring why = quoted_path(path_) + L": " + error_text(error);
        failed_ = true;
        report(why + L"; " + discard());
    }

    // Removes the incomplete file and says what became of it.
    std::wstring discard() {
        const std::wstring path = path_;
        path_.clear();
        return discard_incomplete(file_, path);
    }

    // A new file, never one that stood at the name before: a planted file
    // would be imported with the backup, and a link would make the run
    // write elsewhere. A name that is taken gives way to the next number.
    void open() {
        backup_security security;
        std::wstring why;
        for (const std::wstring& folder : folders_) {
            for (int number = 1; number <= backup_names_per_folder; ++number) {
                const std::wstring candidate = folder + numbered(file_name_, number);
                file_.reset(CreateFileW(candidate.c_str(), backup_access, FILE_SHARE_READ, security.get(), CREATE_NEW,
                                        backup_flags, nullptr));
                if (!file_) {
                    const DWORD error = GetLastError();
                    why = quoted_path(full_path(candidate)) + L": " + error_text(error);
                    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
                    break;  // the folder cannot take the file
                }
                // Made new, so only a link made since (a second hard link,
                // a reparse point) makes it something else than the new file.
                if (files::is_reparse_or_linked(file_.get())) {
                    file_.reset();
                    why = quoted_path(full_path(candidate)) + L" is a link";
                    continue;
                }
                const std::wstring header = std::wstring(1, byte_order_mark) + regedit_file_header;
                DWORD written = 0;
                path_ = full_path(candidate);
                const DWORD size = static_cast<DWORD>(header.size() * sizeof(wchar_t));
                DWORD error = ERROR_SUCCESS;
                if (!WriteFile(file_.get(), header.data(), size, &written, nullptr)) {
                    error = GetLastError();
                } else if (written != size) {
                    error = ERROR_DISK_FULL;
                }
                if (error != ERROR_SUCCESS) {
                    why = quoted_path(path_) + L": " + error_text(error);
                    why += L"; " + discard();
                    break;
                }
                return;
            }
        }
        failed_ = true;
        report(why.empty() ? std::wstring(L"no folder to write it to") : why);
    }

    static std::wstring full_path(const std::wstring& name) {
        wchar_t full[MAX_PATH];
        const DWORD length = GetFullPathNameW(name.c_str(), MAX_PATH, full, nullptr);
        return (length == 0 || length >= MAX_PATH) ? name : std::wstring(full, length);
    }

    static std::wstring quoted_path(const std::wstring& path) { return L"\"" + path + L"\""; }

    static std::wstring error_text(DWORD error) {
        std::wstring text;
        try {
            text = unicode::to_wide(system_error_text(error), unicode::ansi) + L" ";
        } catch (const unicode::generic&) {
        }
        return text + L"(error " + std::to_wstring(error) + L")";
    }

    // Says once in the run that the backup could not be written, and why.
    void report(const std::wstring& why) {
        if (reported_) return;
        reported_ = true;
        log::message(L"The registry backup could not be written: %ls", why.c_str());
    }

    std::mutex lock_;
    file_handle file_;
    std::wstring path_;
    std::wstring file_name_;
    std::vector<std::wstring> folders_;
    bool active_ = false;
    bool failed_ = false;
    bool reported_ = false;
    // Full names of keys saved whole, and (key, value) pairs saved; registry
    // names are the same whatever their letter case.
    std::set<std::wstring, unicode::name_less> saved_keys_;
    std::set<std::pair<std::wstring, std::wstring>, name_pair_less> saved_values_;
    // Full names of keys the run created.
    std::set<std::wstring, unicode::name_less> created_keys_;
};

backup& the_backup() {
    static backup instance;
    return instance;
}

}  // namespace

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
