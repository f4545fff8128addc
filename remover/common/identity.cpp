#include "remover/common/identity.hpp"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "replay/exception.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {
constexpr int resource_buffer_chars = 260;

identity_strings& storage() {
    static identity_strings strings = default_identity();
    return strings;
}
}  // namespace

const identity_strings& identity() { return storage(); }

identity_strings default_identity() {
    identity_strings ids;
    ids.folder_name = L"Vexars";
    ids.display_name = L"Zentrivo";
    ids.product_guid = L"{6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}";
    ids.skip_tray = L"0";
    ids.tools_name = L"VEXARtools";
    ids.launcher_exe = L"VexarLauncher.exe";
    ids.suite_name = L"Suite";
    ids.suite_service_name = L"Suite Service";
    ids.suite_service_exe = L"VexarSuiteService.exe";
    return ids;
}

std::wstring load_resource_string(unsigned id) {
    wchar_t buffer[resource_buffer_chars] = {};
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, resource_buffer_chars);
    if (length <= 0) throw replay::exception("resource string %d is not found", static_cast<int>(id));
    return std::wstring(buffer, static_cast<size_t>(length));
}

namespace {
identity_strings read_identity() {
    try {
        identity_strings ids;
        ids.folder_name = load_resource_string(id_folder_name);
        ids.display_name = load_resource_string(id_display_name);
        ids.product_guid = load_resource_string(id_product_guid);
        ids.skip_tray = load_resource_string(id_skip_tray);
        ids.tools_name = load_resource_string(id_tools_name);
        ids.launcher_exe = load_resource_string(id_launcher_exe);
        ids.suite_name = load_resource_string(id_suite_name);
        ids.suite_service_name = load_resource_string(id_suite_service_name);
        ids.suite_service_exe = load_resource_string(id_suite_service_exe);
        return ids;
    } catch (...) {
        return default_identity();
    }
}
}  // namespace

void load_identity() { storage() = read_identity(); }

std::string narrow(const std::wstring& text) {
    const size_t length = std::wcstombs(nullptr, text.c_str(), 0);
    if (length == static_cast<size_t>(-1)) {
        // The locale cannot represent some character: fall back to the ANSI
        // code page rather than lose the whole name.
        return replay::unicode::to_ansi(text);
    }
    std::vector<char> buffer(length + 1);
    std::wcstombs(buffer.data(), text.c_str(), buffer.size());
    return std::string(buffer.data(), length);
}

}  // namespace remover
