#pragma once
// The program's one error family. Each class below replay::exception appends
// its word to a dotted kind path, and what() shows "kind[message]".
#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "replay/format.hpp"

namespace replay {

namespace detail {
template <typename Self, typename... Args>
constexpr bool is_self = false;
template <typename Self, typename Arg>
constexpr bool is_self<Self, Arg> = std::is_base_of_v<Self, std::decay_t<Arg>>;
}  // namespace detail

namespace log {
class dispatcher;
}

class exception : public std::exception {
public:
    // A message given alone is taken literally, whatever "%" it holds.
    explicit exception(const std::string& message);
    explicit exception(const char* message);
    // A format followed by arguments is formatted with replay::format.
    template <typename Arg, typename... Args>
    exception(const char* fmt, Arg&& arg, Args&&... args)
        : message_text(format(fmt, std::forward<Arg>(arg), std::forward<Args>(args)...)) {}
    exception(const exception&) = default;
    exception& operator=(const exception&) = default;
    ~exception() override;

    // Rebuilt on every call: kind path, then the message in square brackets.
    const char* what() const noexcept override;
    virtual std::string message() const;
    virtual std::string kind() const;

protected:
    exception() = default;
    // Adds one word to the kind path; derived constructors call it once.
    void append_kind(const char* word);

    mutable std::string what_text;
    mutable std::string message_text;
    mutable std::string kind_text;
};

// Declares an error class whose constructors pass their message up to Base
// and then add Word to the kind path.
// Copies keep the path they have; only construction from a message adds Word.
#define REPLAY_DECLARE_EXCEPTION(Name, Base, Word)                                  \
    class Name : public Base {                                                      \
    public:                                                                         \
        template <typename... Args,                                                 \
                  typename = std::enable_if_t<!::replay::detail::is_self<Name, Args...>>> \
        explicit Name(Args&&... args) : Base(std::forward<Args>(args)...) {         \
            append_kind(Word);                                                      \
        }                                                                           \
        Name(const Name&) = default;                                                \
        Name& operator=(const Name&) = default;                                     \
    }

// An error whose texts come from wide data. Its narrow texts are converted
// from the wide ones with the ANSI code page, once, on first use.
class exception_w : public exception {
public:
    // A message given alone is taken literally, whatever "%" it holds.
    explicit exception_w(const std::wstring& message);
    explicit exception_w(const wchar_t* message);
    // A format followed by arguments is formatted with replay::wformat.
    template <typename Arg, typename... Args>
    exception_w(const wchar_t* fmt, Arg&& arg, Args&&... args)
        : exception(), message_text_w(wformat(fmt, std::forward<Arg>(arg), std::forward<Args>(args)...)) {}
    exception_w(const exception_w&) = default;
    exception_w& operator=(const exception_w&) = default;
    ~exception_w() override;

    const char* what() const noexcept override;
    std::string message() const override;
    std::string kind() const override;
    virtual std::wstring what_w() const;
    virtual std::wstring message_w() const;
    virtual std::wstring kind_w() const;

private:
    void fill_narrow() const;

    mutable std::wstring what_text_w;
    std::wstring message_text_w;
    std::wstring kind_text_w;
    mutable bool narrow_ready = false;
};

// Describes the exception being handled: "<prefix> exception: [..]" and so on.
// A prefix that does not end with a blank gets one, so the format's own blank
// makes two. Must be called inside a handler; never throws what it describes.
std::wstring describe_current_exception(std::wstring prefix);

// Writes one level-3 line describing the exception being handled through the
// dispatcher. Must be called inside a handler; never throws what it describes.
void log_current_exception(const std::wstring& context, log::dispatcher& target);
// The narrow context is converted with the ANSI code page.
void log_current_exception(const std::string& context, log::dispatcher& target);

// The system's message text for a Windows error code without its final line
// break; empty when the system has no text.
std::string system_error_text(std::uint32_t code);

}  // namespace replay
