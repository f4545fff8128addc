#include "remover/common/paths.hpp"

namespace remover {

namespace {

template <typename Char>
bool is_separator(Char c) {
    return c == Char('\\') || c == Char('/');
}

template <typename Char>
bool drive_letter_form(std::basic_string_view<Char> path) {
    return path.size() >= 3 &&
           ((path[0] >= Char('A') && path[0] <= Char('Z')) || (path[0] >= Char('a') && path[0] <= Char('z'))) &&
           path[1] == Char(':') && is_separator(path[2]);
}

template <typename Char>
bool share_form(std::basic_string_view<Char> path) {
    return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]) &&
           path[2] != Char('?') && path[2] != Char('.');
}

}  // namespace

bool is_drive_letter_path(std::wstring_view path) { return drive_letter_form(path); }

bool is_share_path(std::wstring_view path) { return share_form(path); }

bool is_absolute_path(std::wstring_view path) { return drive_letter_form(path) || share_form(path); }

bool is_absolute_path(std::string_view path) { return drive_letter_form(path) || share_form(path); }

}  // namespace remover
