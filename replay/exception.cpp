#include "replay/exception.hpp"

#include <windows.h>
#include <comdef.h>

#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "replay/handle.hpp"

namespace replay {

namespace {

// The narrow texts of a wide error, in the ANSI code page; a character it
// lacks becomes its default character. Written here rather than taken from
// the text-encoding layer, whose own errors are exceptions of this family.
std::string to_ansi(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_ACP, /*flags=*/0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         /*default_char=*/nullptr, /*used_default=*/nullptr);
    if (size <= 0) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace

// The underscore functions are always the Microsoft runtime's own, whatever
// the C++ library selects for the standard names, so the %s/%S rules hold.
std::string detail::vformat_message(const char* fmt, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = _vscprintf(fmt, measure);
    va_end(measure);
    // The runtime rejects the format or an argument (a wide string with an
    // unpaired surrogate for %S, say): say so rather than lose the text.
    if (length < 0) throw exception(std::string("invalid format or argument: \"") + fmt + "\"");
    if (length == 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    va_list fill;
    va_copy(fill, args);
    const int written = _vsnprintf(buffer.data(), buffer.size(), fmt, fill);
    va_end(fill);
    return std::string(buffer.data(), written < 0 ? static_cast<size_t>(length) : static_cast<size_t>(written));
}

std::wstring detail::vwformat_message(const wchar_t* fmt, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(fmt, measure);
    va_end(measure);
    if (length < 0) throw exception_w(std::wstring(L"invalid format or argument: \"") + fmt + L"\"");
    if (length == 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    va_list fill;
    va_copy(fill, args);
    const int written = _vsnwprintf(buffer.data(), buffer.size(), fmt, fill);
    va_end(fill);
    return std::wstring(buffer.data(), written < 0 ? static_cast<size_t>(length) : static_cast<size_t>(written));
}

std::string detail::format_message(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string result = vformat_message(fmt, args);
    va_end(args);
    return result;
}

std::wstring detail::wformat_message(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::wstring result = vwformat_message(fmt, args);
    va_end(args);
    return result;
}

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
