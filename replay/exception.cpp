#include "replay/exception.hpp"

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "replay/handle.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay {

namespace {

// The narrow texts of a wide error, in the ANSI code page through the
// library's conversion, which maps no look-alike (a fullwidth backslash must
// not turn into a path separator in a message); a character the code page
// lacks becomes its default character. Where the conversion itself fails, the
// text keeps its ASCII characters and shows "?" for the others, since an
// error must not be lost while it is being described.
std::string to_ansi(const std::wstring& text) {
    try {
        return unicode::to_ansi(text);
    } catch (...) {
        std::string shown;
        for (const wchar_t c : text) shown += c < 0x80 ? static_cast<char>(c) : '?';
        return shown;
    }
}

// The underscore functions are always the Microsoft runtime's own, whatever
// the C++ library selects for the standard names, so the %s/%S rules hold.
int measure(const char* fmt, va_list args) { return _vscprintf(fmt, args); }
int measure(const wchar_t* fmt, va_list args) { return _vscwprintf(fmt, args); }
int fill(char* buffer, size_t size, const char* fmt, va_list args) { return _vsnprintf(buffer, size, fmt, args); }
int fill(wchar_t* buffer, size_t size, const wchar_t* fmt, va_list args) {
    return _vsnwprintf(buffer, size, fmt, args);
}

// The runtime rejects the format or an argument (a wide string with an
// unpaired surrogate for %S, say): say so rather than lose the text.
[[noreturn]] void reject(const char* fmt) {
    throw exception(std::string("invalid format or argument: \"") + fmt + "\"");
}
[[noreturn]] void reject(const wchar_t* fmt) {
    throw exception_w(std::wstring(L"invalid format or argument: \"") + fmt + L"\"");
}

template <typename Char>
std::basic_string<Char> vformat_text(const Char* fmt, va_list args) {
    va_list measured;
    va_copy(measured, args);
    const int length = measure(fmt, measured);
    va_end(measured);
    if (length < 0) reject(fmt);
    if (length == 0) return std::basic_string<Char>();
    std::vector<Char> buffer(static_cast<size_t>(length) + 1);
    va_list filled;
    va_copy(filled, args);
    const int written = fill(buffer.data(), buffer.size(), fmt, filled);
    va_end(filled);
    return std::basic_string<Char>(buffer.data(),
                                   written < 0 ? static_cast<size_t>(length) : static_cast<size_t>(written));
}

}  // namespace

std::string detail::vformat_message(const char* fmt, va_list args) { return vformat_text(fmt, args); }

std::wstring detail::vwformat_message(const wchar_t* fmt, va_list args) { return vformat_text(fmt, args); }

template <typename Char>
std::basic_string<Char> detail::format_message(const Char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::basic_string<Char> result = vformat_text(fmt, args);
    va_end(args);
    return result;
}

template std::string detail::format_message<char>(const char* fmt, ...);
template std::wstring detail::format_message<wchar_t>(const wchar_t* fmt, ...);

exception::exception(const std::string& message) : message_text(message) {}

exception::exception(const char* message) : message_text(message != nullptr ? message : "") {}

exception::~exception() = default;

const char* exception::what() const noexcept {
    try {
        what_text = kind_text + "[" + message_text + "]";
        return what_text.c_str();
    } catch (...) {
        return "replay::exception";
    }
}

std::string exception::message() const { return message_text; }

std::string exception::kind() const { return kind_text; }

void exception::append_kind(const char* word) {
    if (!kind_text.empty()) kind_text += ".";
    kind_text += word;
}

exception_w::exception_w(const std::wstring& message) : exception(), message_text_w(message) {}

exception_w::exception_w(const wchar_t* message)
    : exception(), message_text_w(message != nullptr ? message : L"") {}

exception_w::~exception_w() = default;

void exception_w::fill_narrow() const {
    if (narrow_ready) return;
    kind_text = to_ansi(kind_text_w);
    message_text = to_ansi(message_text_w);
    narrow_ready = true;
}

const char* exception_w::what() const noexcept {
    try {
        fill_narrow();
    } catch (...) {
        // Leave the narrow texts as they are; what() must not throw.
    }
    return exception::what();
}

std::string exception_w::message() const {
    fill_narrow();
    return exception::message();
}

std::string exception_w::kind() const {
    fill_narrow();
    return exception::kind();
}

std::wstring exception_w::what_w() const {
    what_text_w = kind_text_w + L"[" + message_text_w + L"]";
    return what_text_w;
}

std::wstring exception_w::message_w() const { return message_text_w; }

std::wstring exception_w::kind_w() const { return kind_text_w; }

std::string system_error_text(std::uint32_t code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*source=*/nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&buffer), /*size=*/0, /*arguments=*/nullptr);
    const local_memory_handle owner(buffer);
    if (length == 0 || buffer == nullptr) return std::string();
    std::string text(buffer, length);
    // System messages end with CR LF.
    text.erase(text.size() >= 2 ? text.size() - 2 : 0);
    return text;
}

}  // namespace replay
