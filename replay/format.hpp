#pragma once
// printf-style formatting into std::string / std::wstring, without length limit.
//
// The Microsoft runtime rules apply: in a narrow format %s takes a narrow
// string and %S a wide one; in a wide format %s takes a wide string and %S a
// narrow one. A format or argument that the runtime rejects raises
// replay::exception "invalid format or argument: "<format>"" (exception_w for
// a wide format), so that no text is silently lost.
#include <cstdarg>
#include <string>

namespace replay {

std::string format(const char* fmt, ...);
std::wstring wformat(const wchar_t* fmt, ...);

// The same, taking a variable-argument list (named apart from the variadic
// forms: va_list is a plain char pointer on this platform).
std::string vformat(const char* fmt, va_list args);
std::wstring vwformat(const wchar_t* fmt, va_list args);

}  // namespace replay
