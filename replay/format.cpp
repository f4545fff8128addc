#include "replay/format.hpp"

#include "replay/exception.hpp"

// The exception layer formats its own messages; these are the same functions
// under the names the rest of the program uses.
namespace replay {

std::string vformat(const char* fmt, va_list args) { return detail::vformat_message(fmt, args); }

std::wstring vwformat(const wchar_t* fmt, va_list args) { return detail::vwformat_message(fmt, args); }

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
