#include "replay/registry2/links.hpp"

#include "replay/handle.hpp"

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

}  // namespace replay::registry2
