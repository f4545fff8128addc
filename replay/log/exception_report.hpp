#pragma once
// Reports of the exception being handled, in the words the log shows.
#include <string>

namespace replay {

namespace log {
class dispatcher;
}

// Describes the exception being handled: "<prefix> exception: [..]" and so on.
// A prefix that does not end with a blank gets one, so the format's own blank
// makes two. Must be called inside a handler; never throws what it describes.
std::wstring describe_current_exception(std::wstring prefix);

// Writes one level-3 line describing the exception being handled through the
// dispatcher. Must be called inside a handler; never throws what it describes.
void log_current_exception(const std::wstring& context, log::dispatcher& target);
// The narrow context is converted with the ANSI code page.
void log_current_exception(const std::string& context, log::dispatcher& target);

}  // namespace replay
