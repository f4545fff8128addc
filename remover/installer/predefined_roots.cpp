#include "remover/installer/predefined_roots.hpp"

#include <string_view>

#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/unicode/names.hpp"

namespace remover {

namespace {

namespace registry2 = replay::registry2;

// Whether a key exists: 1 when it opens, 0 when it is missing, -1 when the
// system does not tell.
int key_exists(HKEY parent, const std::wstring& name, REGSAM view) {
    replay::unique_hkey opened;
    const LSTATUS result = RegOpenKeyExW(parent, name.c_str(), 0, KEY_QUERY_VALUE | view, opened.put());
    if (result == ERROR_SUCCESS) return 1;
    return result == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

// How many of the running user's classes are tried for one the machine lacks.
constexpr DWORD class_probes = 16;

// The system's name of a predefined root. The system names only keys opened
// below one (opening the root itself gives back the predefined handle), so
// the name is that of the first subkey that opens, without its last part;
// empty when none opens.
std::wstring root_name(HKEY root, REGSAM view) {
    for (DWORD index = 0;; ++index) {
        wchar_t name[registry2::max_name_length + 1];
        DWORD length = registry2::max_name_length + 1;
        if (RegEnumKeyExW(root, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        replay::unique_hkey child;
        if (RegOpenKeyExW(root, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, child.put()) != ERROR_SUCCESS) {
            continue;
        }
        const std::wstring full = registry2::system_name(child.get());
        const std::wstring tail = L"\\" + std::wstring(name, length);
        if (full.size() <= tail.size() ||
            replay::unicode::compare_names(std::wstring_view(full).substr(full.size() - tail.size()), tail) != 0) {
            break;
        }
        return full.substr(0, full.size() - tail.size());
    }
    return std::wstring();
}

}  // namespace

bool machine_classes_alone(const std::wstring& machine_classes, REGSAM view) {
    replay::unique_hkey user;
    const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, user.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    for (DWORD index = 0; index < class_probes; ++index) {
        wchar_t name[registry2::max_name_length + 1];
        DWORD length = registry2::max_name_length + 1;
        const LSTATUS listed = RegEnumKeyExW(user.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) return index == 0;
        if (listed != ERROR_SUCCESS) return false;
        const std::wstring own(name, length);
        const int machine_has = key_exists(HKEY_LOCAL_MACHINE, machine_classes + L"\\" + own, view);
        if (machine_has == 1) continue;
        return machine_has == 0 && key_exists(HKEY_CLASSES_ROOT, own, 0) == 0 && key_exists(user.get(), own, 0) == 1;
    }
    return false;
}

std::pair<std::wstring, std::wstring> place_below(HKEY start, REGSAM view, const std::wstring& path, HKEY inner) {
    const std::wstring head = root_name(start, view);
    const std::wstring name = root_name(inner, 0);
    if (head.empty() || name.size() <= head.size() + 1 || !replay::unicode::starts_with_name(name, head) ||
        name[head.size()] != L'\\') {
        return {};
    }
    return {path + name.substr(head.size()), name};
}

}  // namespace remover
