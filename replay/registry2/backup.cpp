#include "replay/registry2/backup.hpp"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>
#include <utility>

#include "replay/handle.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/registry2/links.hpp"
#include "replay/registry2/regedit_format.hpp"
#include "replay/unicode/names.hpp"

namespace replay::registry2 {

namespace {

// Longest key name (255) and room for its terminator.
constexpr DWORD key_name_chars = 256;

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
                const std::wstring header = std::wstring(1, byte_order_mark) + regedit_file_header;
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
