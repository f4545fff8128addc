#pragma once
// The program's one error family. Each class below replay::exception appends
// its word to a dotted kind path, and what() shows "kind[message]".
//
// The bottom of the support library: it includes nothing of it. Its messages
// are formatted here with the Microsoft runtime's printf rules, which
// replay/format.hpp offers to everyone else.
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace replay {

namespace detail {
template <typename Self, typename... Args>
constexpr bool is_self = false;
template <typename Self, typename Arg>
constexpr bool is_self<Self, Arg> = std::is_base_of_v<Self, std::decay_t<Arg>>;

// printf-style formatting into a string of any length. A format or argument
// that the runtime rejects raises exception "invalid format or argument:
// "<format>"" (exception_w for a wide format), so that no text is lost.
template <typename Char>
std::basic_string<Char> format_message(const Char* fmt, ...);
extern template std::string format_message<char>(const char* fmt, ...);
extern template std::wstring format_message<wchar_t>(const wchar_t* fmt, ...);
std::string vformat_message(const char* fmt, va_list args);
std::wstring vwformat_message(const wchar_t* fmt, va_list args);
}  // namespace detail

class exception : public std::exception {
public:
    // A message given alone is taken literally, whatever "%" it holds.
    explicit exception(const std::string& message);
    explicit exception(const char* message);
    // A format followed by arguments is formatted as replay::format does.
    template <typename Arg, typename... Args>
    exception(const char* fmt, Arg&& arg, Args&&... args)
        : message_text(detail::format_message(fmt, std::forward<Arg>(arg), std::forward<Args>(args)...)) {}
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
    // A format followed by arguments is formatted as replay::wformat does.
    template <typename Arg, typename... Args>
    exception_w(const wchar_t* fmt, Arg&& arg, Args&&... args)
        : exception(),
          message_text_w(detail::format_message(fmt, std::forward<Arg>(arg), std::forward<Args>(args)...)) {}
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

// The system's message text for a Windows error code without its final line
// break; empty when the system has no text.
std::string system_error_text(std::uint32_t code);

}  // namespace replay
