#include "remover/installer/installer_components.hpp"

#include <windows.h>

#include <vector>

#include "remover/common/windows_version.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/links.hpp"
#include "replay/unicode/names.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

constexpr wchar_t user_data_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr REGSAM read_64bit_view = KEY_READ | KEY_WOW64_64KEY;
static_assert(read_64bit_view == 0x20119);
// Names and data that remove_installer_components reads, at most.
constexpr DWORD component_name_chars = 3000;
constexpr DWORD component_data_bytes = 3000;

}  // namespace

void remove_installer_components(const std::wstring& text) {
    try {
        log::message(L"Search Component %s ", text.c_str());
        const bool wow64 = running_under_wow64();
        const REGSAM mask = wow64 ? read_64bit_view : KEY_READ;
        const REGSAM view = wow64 ? KEY_WOW64_64KEY : 0;
        replay::unique_hkey user_data;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, user_data_path, 0, mask, user_data.put()) != ERROR_SUCCESS) return;
        std::vector<std::wstring> found;
        std::vector<wchar_t> sid(component_name_chars + 1);
        for (DWORD i = 0;; ++i) {
            DWORD sid_length = component_name_chars;
            if (RegEnumKeyExW(user_data.get(), i, sid.data(), &sid_length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            const std::wstring sid_name(sid.data(), sid_length);
            replay::unique_hkey components;
            if (RegOpenKeyExW(user_data.get(), (sid_name + L"\\Components").c_str(), 0, mask, components.put()) !=
                ERROR_SUCCESS) {
                continue;
            }
            std::vector<wchar_t> name(component_name_chars + 1);
            for (DWORD j = 0;; ++j) {
                DWORD name_length = component_name_chars;
                if (RegEnumKeyExW(components.get(), j, name.data(), &name_length, nullptr, nullptr, nullptr,
                                  nullptr) != ERROR_SUCCESS) {
                    break;
                }
                const std::wstring component_name(name.data(), name_length);
                // Opened as the link itself where it is one: a link is read
                // through its target, but only the link goes, and nothing below
                // its target is the component's.
                replay::unique_hkey component;
                if (RegOpenKeyExW(components.get(), component_name.c_str(), REG_OPTION_OPEN_LINK, mask,
                                  component.put()) != ERROR_SUCCESS) {
                    continue;
                }
                const bool link = registry2::holds_link_value(component.get());
                replay::unique_hkey target;
                if (link && RegOpenKeyExW(components.get(), component_name.c_str(), 0, mask, target.put()) !=
                                ERROR_SUCCESS) {
                    continue;
                }
                std::vector<wchar_t> value_name(component_name_chars + 1);
                DWORD value_name_length = component_name_chars;
                std::vector<wchar_t> data(component_data_bytes / sizeof(wchar_t) + 1);
                DWORD data_size = component_data_bytes;
                if (RegEnumValueW(link ? target.get() : component.get(), 0, value_name.data(), &value_name_length,
                                  nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &data_size) !=
                    ERROR_SUCCESS) {
                    continue;
                }
                const std::wstring key_path(data.data(), wcsnlen(data.data(), data_size / sizeof(wchar_t)));
                if (!replay::unicode::holds_path_part(key_path, text)) continue;
                std::vector<wchar_t> child(component_name_chars + 1);
                DWORD child_length = component_name_chars;
                if (!link && RegEnumKeyExW(component.get(), 0, child.data(), &child_length, nullptr, nullptr, nullptr,
                                           nullptr) == ERROR_SUCCESS) {
                    const LSTATUS result =
                        registry2::delete_subkey(component.get(), std::wstring(child.data(), child_length), view);
                    if (result != ERROR_SUCCESS) log::message("! ERROR remove subkey failed: %d", static_cast<int>(result));
                }
                found.push_back(std::wstring(user_data_path) + L"\\" + sid_name + L"\\Components\\" + component_name);
            }
        }
        for (const std::wstring& path : found) {
            const LSTATUS result = registry2::delete_subkey(HKEY_LOCAL_MACHINE, path, view);
            if (result == ERROR_SUCCESS) {
                log::message(L"Removed Component  HKEY_LOCAL_MACHINE\\%s", path.c_str());
            } else {
                log::message(L"! ERROR remove component %s failed: %d", path.c_str(), static_cast<int>(result));
            }
        }
    } catch (...) {
        // Never raises.
    }
}

}  // namespace remover
