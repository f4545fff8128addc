#include "replay/exception.hpp"

#include <windows.h>
#include <comdef.h>

#include <cstdarg>

#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay {

namespace {
constexpr int ansi_code_page = 0;

// Error reports must not fail on text that is not valid in the ANSI code page:
// such text is shown byte for byte instead.
std::wstring ansi_to_wide(const std::string& text) {
    try {
        return unicode::to_wide(text, ansi_code_page);
    } catch (const unicode::generic&) {
        return unicode::to_wide(text, unicode::latin1);
    }
}
}  // namespace

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
    kind_text = unicode::to_narrow(kind_text_w, ansi_code_page, /*strict=*/false);
    message_text = unicode::to_narrow(message_text_w, ansi_code_page, /*strict=*/false);
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

std::wstring describe_current_exception(std::wstring prefix) {
    if (!prefix.empty() && prefix.back() != L' ') prefix += L' ';
    // Rethrowing outside a handler would end the program.
    if (!std::current_exception()) return wformat(L"%s unknown exception", prefix.c_str());
    try {
        throw;
    } catch (const _com_error& e) {
        return wformat(L"%s _com_error: %S", prefix.c_str(), e.ErrorMessage());
    } catch (const exception_w& e) {
        return wformat(L"%s exception: %s", prefix.c_str(), e.what_w().c_str());
    } catch (const std::exception& e) {
        return wformat(L"%s exception: %s", prefix.c_str(), ansi_to_wide(e.what()).c_str());
    } catch (...) {
        return wformat(L"%s unknown exception", prefix.c_str());
    }
}

void log_current_exception(const std::wstring& context, log::dispatcher& target) {
    constexpr int error_level = 3;
    if (!std::current_exception()) {
        target.printf(error_level, L"%s unknown exception caught", context.c_str());
        return;
    }
    try {
        throw;
    } catch (const _com_error& e) {
        target.printf(error_level, L"%s _com_error: %s", context.c_str(),
                      ansi_to_wide(e.ErrorMessage()).c_str());
    } catch (const exception_w& e) {
        target.printf(error_level, L"%s Exception: %s", context.c_str(), e.what_w().c_str());
    } catch (const std::exception& e) {
        target.printf(error_level, L"%s exception: %s", context.c_str(),
                      ansi_to_wide(e.what()).c_str());
    } catch (...) {
        target.printf(error_level, L"%s unknown exception caught", context.c_str());
    }
}

void log_current_exception(const std::string& context, log::dispatcher& target) {
    log_current_exception(ansi_to_wide(context), target);
}

std::string system_error_text(std::uint32_t code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*source=*/nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&buffer), /*size=*/0, /*arguments=*/nullptr);
    if (length == 0 || buffer == nullptr) return std::string();
    std::string text(buffer, length);
    LocalFree(buffer);
    // System messages end with CR LF.
    text.erase(text.size() >= 2 ? text.size() - 2 : 0);
    return text;
}

}  // namespace replay
