#include "replay/format.hpp"

#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "replay/exception.hpp"

// The underscore functions are always the Microsoft runtime's own, whatever
// the C++ library selects for the standard names, so the %s/%S rules hold.
namespace replay {

std::string vformat(const char* fmt, va_list args) {
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

std::wstring vwformat(const wchar_t* fmt, va_list args) {
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

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string result = vformat(fmt, args);
    va_end(args);
    return result;
}

std::wstring wformat(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::wstring result = vwformat(fmt, args);
    va_end(args);
    return result;
}

}  // namespace replay
