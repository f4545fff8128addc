#include "replay/registry2/links.hpp"

#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"

namespace replay::registry2 {

bool holds_link_value(HKEY handle) {
    DWORD type = 0;
    return RegQueryValueExW(handle, link_value_name, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

bool is_link(HKEY parent, const std::wstring& name, REGSAM view) {
    unique_hkey link;
    if (RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, link.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    return holds_link_value(link.get());
}

std::unique_ptr<key> open_without_links(const key& parent, const std::wstring& path, REGSAM view) {
    std::unique_ptr<key> current;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        if (end > start) {
            auto next = std::make_unique<key>(current ? *current : parent, path.substr(start, end - start),
                                              /*create=*/false, view, REG_OPTION_OPEN_LINK);
            if (holds_link_value(next->handle())) throw key_error(std::string("a registry link is not followed"));
            current = std::move(next);
        }
        start = end + 1;
    }
    return current ? std::move(current) : std::make_unique<key>(parent);
}

}  // namespace replay::registry2
