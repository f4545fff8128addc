#pragma once
// Names of files, processes, services and registry values are compared with
// ASCII letters folded only, as Windows' own tools do for these names.
#include <string>

#include "replay/unicode/ascii.hpp"

namespace remover {

using replay::unicode::ascii_lower;

// True when text ends with tail, ASCII case ignored; an empty tail never matches.
bool ends_with_ascii_nocase(const std::string& text, const std::string& tail);

// True when a path ends with a file name as its whole last part: the name is
// all of the path or follows a backslash. ASCII case ignored; an empty name
// never matches.
bool ends_with_file_name_ascii_nocase(const std::string& path, const std::string& name);

}  // namespace remover
