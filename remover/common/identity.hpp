#pragma once
// The strings that name the product, from the program's string table.
#include <string>

namespace remover {

// Identifiers in the string table.
enum identity_id : unsigned {
    id_folder_name = 2001,
    id_display_name,
    id_product_guid,
    id_skip_tray,
    id_tools_name,
    id_launcher_exe,
    id_suite_name,
    id_suite_service_name,
    id_suite_service_exe,
};

struct identity_strings {
    std::wstring folder_name;
    std::wstring display_name;
    std::wstring product_guid;  // upgrade code of the product
    std::wstring skip_tray;     // the tray step is skipped only for exactly "1"
    std::wstring tools_name;
    std::wstring launcher_exe;
    std::wstring suite_name;
    std::wstring suite_service_name;
    std::wstring suite_service_exe;
};

// The values the program ships with.
identity_strings default_identity();

// Loads all nine strings from the module's string table into the run's
// identity; if any one cannot be loaded, all nine take the defaults.
void load_identity();

// The run's identity strings (the defaults until load_identity).
const identity_strings& identity();

// Raises replay::exception "resource string %d is not found".
std::wstring load_resource_string(unsigned id);

// The narrow form of an identity string, converted afresh with the runtime's
// conversion of the current locale.
std::string narrow(const std::wstring& text);

// Built-in names.
inline constexpr wchar_t product_code[] = L"ZENQO";
inline constexpr char program_name[] = "ZENQORemover";

}  // namespace remover
