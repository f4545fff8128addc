#include "replay/log/exception_report.hpp"

#include <windows.h>
#include <comdef.h>

#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay {

namespace {

// Error reports must not fail on text that is not valid in the ANSI code page:
// such text is shown byte for byte instead.
std::wstring ansi_to_wide(const std::string& text) {
    try {
        return unicode::from_ansi(text);
    } catch (const unicode::generic&) {
        return unicode::to_wide(text, unicode::latin1);
    }
}

}  // namespace

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

}  // namespace replay
