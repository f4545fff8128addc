#include "remover/common/text.hpp"

namespace remover {

namespace {
template <typename Char>
std::basic_string<Char> lower(std::basic_string<Char> text) {
    for (Char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<Char>(c - 'A' + 'a');
    }
    return text;
}
}  // namespace

std::wstring ascii_lower(std::wstring text) { return lower(std::move(text)); }
std::string ascii_lower(std::string text) { return lower(std::move(text)); }

bool ends_with_ascii_nocase(const std::string& text, const std::string& tail) {
    if (tail.empty() || text.size() < tail.size()) return false;
    return ascii_lower(text.substr(text.size() - tail.size())) == ascii_lower(tail);
}

bool ends_with_file_name_ascii_nocase(const std::string& path, const std::string& name) {
    if (!ends_with_ascii_nocase(path, name)) return false;
    return path.size() == name.size() || path[path.size() - name.size() - 1] == '\\';
}

}  // namespace remover
