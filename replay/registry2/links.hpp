#pragma once
// Registry links: keys made with REG_OPTION_CREATE_LINK, whose REG_LINK value
// "SymbolicLinkValue" names another key. Opening such a key by name reaches
// its target, so whoever walks, saves or deletes the registry checks for them.
#include <windows.h>

#include <string>

namespace replay::registry2 {

constexpr wchar_t link_value_name[] = L"SymbolicLinkValue";

// True when a key opened with REG_OPTION_OPEN_LINK is a registry link (it
// holds the REG_LINK value "SymbolicLinkValue").
bool holds_link_value(HKEY handle);
// True when the subkey `name` of `parent` is a registry link; the walk and the
// deletion must not descend through it. `view` adds KEY_WOW64_* flags. False
// when the key cannot be opened.
bool is_link(HKEY parent, const std::wstring& name, REGSAM view = 0);

}  // namespace replay::registry2
