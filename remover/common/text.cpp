#include "remover/common/text.hpp"

namespace remover {

bool ends_with_ascii_nocase(const std::string& text, const std::string& tail) {
    if (tail.empty() || text.size() < tail.size()) return false;
    return replay::unicode::same_ascii_nocase(std::string_view(text).substr(text.size() - tail.size()), tail);
}

bool ends_with_file_name_ascii_nocase(const std::string& path, const std::string& name) {
    if (!ends_with_ascii_nocase(path, name)) return false;
    return path.size() == name.size() || path[path.size() - name.size() - 1] == '\\';
}

}  // namespace remover
