#include "remover/common/paths.hpp"

namespace remover {

namespace {
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_separator(char c) { return c == '\\' || c == '/'; }
}  // namespace

bool is_absolute_path(const std::string& path) {
    if (path.size() >= 3 && is_letter(path[0]) && path[1] == ':' && is_separator(path[2])) return true;
    return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]);
}

}  // namespace remover
