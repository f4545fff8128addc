#pragma once
// How the log marks the run's steps, written here alone: a step opens with
// its title and a blank line and closes with a separator line of 50 "=" (49
// after a few steps) and a blank line; the Installer database step's parts
// open with a blank line, their title and a separator line. Tools that read
// the log find the steps by these lines, so they never change.
#include <string>

namespace remover {

constexpr char separator_line[] = "==================================================";
constexpr char short_separator_line[] = "=================================================";
static_assert(sizeof(separator_line) == 50 + 1 && sizeof(short_separator_line) == 49 + 1);

// The title, then a blank line.
void step_heading(const std::string& title);
void step_heading(const std::wstring& title);

// separator_line or short_separator_line, then a blank line.
void separator();
void short_separator();

// A blank line, the title, then `line` (separator_line or
// short_separator_line).
void part_heading(const char* title, const char* line);

}  // namespace remover
