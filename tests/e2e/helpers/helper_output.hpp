// Small pieces shared by the helper programs: UTF-8 and JSON text, an owner
// for file handles and whole-line appends that concurrent writers cannot
// interleave.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace helper {

// Owner of a kernel handle whose "no handle" value is INVALID_HANDLE_VALUE
// (CreateFileW).
class file_handle {
public:
    explicit file_handle(HANDLE h) noexcept : h_(h) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    ~file_handle() noexcept {
        if (valid()) CloseHandle(h_);
    }
    bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const noexcept { return h_; }

private:
    HANDLE h_;
};

// Owner of a kernel handle whose "no handle" value is NULL (OpenProcess,
// CreateMutexW).
class kernel_handle {
public:
    explicit kernel_handle(HANDLE h = nullptr) noexcept : h_(h) {}
    kernel_handle(kernel_handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    kernel_handle& operator=(kernel_handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = nullptr;
        }
        return *this;
    }
    kernel_handle(const kernel_handle&) = delete;
    kernel_handle& operator=(const kernel_handle&) = delete;
    ~kernel_handle() noexcept { reset(); }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    HANDLE get() const noexcept { return h_; }
    void reset() noexcept {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

inline std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

inline std::string json_string(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : to_utf8(text)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Appends `line` to the file in one write. Several helpers may append to the
// same file at once: each write goes to the end of the file whole, and a
// writer that finds the file opened without write sharing tries again for a
// while. Returns false when the file could not be written.
inline bool append_line(const std::wstring& path, const std::string& line) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        file_handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION) return false;
            Sleep(50);
            continue;
        }
        DWORD written = 0;
        return WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
               written == line.size();
    }
    return false;
}

// Writes UTF-8 text to standard output as it is (no code page conversion).
inline void write_stdout(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace helper
