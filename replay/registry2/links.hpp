#pragma once
// Registry links: keys made with REG_OPTION_CREATE_LINK, whose REG_LINK value
// "SymbolicLinkValue" names another key. Opening such a key by name reaches
// its target, so whoever walks, saves or deletes the registry checks for them.
#include <windows.h>

#include <memory>
#include <string>

namespace replay::registry2 {

class key;

constexpr wchar_t link_value_name[] = L"SymbolicLinkValue";

// True when a key opened with REG_OPTION_OPEN_LINK is a registry link (it
// holds the REG_LINK value "SymbolicLinkValue").
bool holds_link_value(HKEY handle);
// True when the subkey `name` of `parent` is a registry link; the walk and the
// deletion must not descend through it. `view` adds KEY_WOW64_* flags. False
// when the key cannot be opened.
bool is_link(HKEY parent, const std::wstring& name, REGSAM view = 0);

// The key at `path` (backslashes allowed, empty parts skipped; an empty path
// is `parent` again) below `parent`, each level opened by itself as the key
// it is (REG_OPTION_OPEN_LINK), for read and write where allowed, in
// `view` added to the parent's. Whoever may write a hive may put a link there
// into another hive: nothing is reached through one, so everything found
// lies in the parent's own hive. Raises key_error "a registry link is not
// followed" for a level that is a link, and key_error as key's constructor
// when a level cannot be opened.
std::unique_ptr<key> open_without_links(const key& parent, const std::wstring& path, REGSAM view = 0);

}  // namespace replay::registry2
