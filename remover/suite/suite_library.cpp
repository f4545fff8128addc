#include "remover/suite/suite_library.hpp"

#include <windows.h>

#include "remover/common/paths.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover::suite {

namespace {

using open_lib_fn = VS_Lib_Handle_*(__cdecl*)();
using products_open_fn = VS_Products_Handle_*(__cdecl*)(VS_Lib_Handle_*);
using products_count_fn = std::int32_t(__cdecl*)(VS_Products_Handle_*);
using products_name_fn = const wchar_t*(__cdecl*)(VS_Products_Handle_*, const wchar_t*);
using products_unregister_fn = std::int32_t(__cdecl*)(VS_Products_Handle_*, const wchar_t*);
using open_suite_file_fn = VS_Suite_Handle_*(__cdecl*)(VS_Lib_Handle_*, const wchar_t*);
using get_text_fn = const wchar_t*(__cdecl*)(VS_Suite_Handle_*);
using last_error_fn = const wchar_t*(__cdecl*)(void*);
using close_handle_fn = void(__cdecl*)(void*);

struct functions {
    open_lib_fn open_lib;
    products_open_fn products_open;
    products_count_fn products_count;
    products_name_fn products_name;
    products_unregister_fn products_unregister;
    open_suite_file_fn open_suite_file;
    get_text_fn get_user_name;
    get_text_fn get_user_site;
    last_error_fn last_error_description;
    close_handle_fn close_handle;
};

std::wstring suite_folder;
std::wstring tray_folder;
HMODULE loaded = nullptr;
functions bound = {};
bool refusals_logged = false;  // the places tried are logged once per run
constexpr char open_folder[] = "others may write to the folder";

std::wstring wide_library_name() {
    const std::string name = library_name;
    return std::wstring(name.begin(), name.end());  // ASCII
}

std::wstring with_backslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

std::wstring copy_in(const library_place& place) { return with_backslash(place.folder) + wide_library_name(); }

std::wstring program_folder() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return {};
    path.resize(length);
    return path.substr(0, path.rfind(L'\\') + 1);
}

// Loads the copy at `path`, checked by the caller; null when it fails.
HMODULE load(const std::wstring& path, DWORD& error) {
    // Its dependencies from its own folder and System32 only.
    HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        // Systems without those flags: the full path, with the search
        // starting in the library's own folder.
        module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (module == nullptr) error = GetLastError();
    return module;
}

// The first copy that passes its check, loaded; null when none is. Names
// every place refused in `refusals`.
HMODULE load_first_trusted(std::wstring& refusals, DWORD& error) {
    for (const library_place& place : library_places()) {
        const std::wstring path = copy_in(place);
        std::string refusal = copy_refusal(place);
        if (refusal.empty()) {
            if (HMODULE module = load(path, error)) return module;
            refusal = replay::format("cannot be loaded (error %d)", static_cast<int>(error));
        }
        if (!refusals.empty()) refusals += L"; ";
        refusals += L"\"" + path + L"\": " + replay::unicode::to_wide(refusal, replay::unicode::utf8);
    }
    return nullptr;
}

template <typename Function>
Function look_up(HMODULE module, const char* name) {
    const auto function = replay::module_function<Function>(module, name);
    if (function == nullptr) throw replay::exception_w(L"The suite client library has no function %S", name);
    return function;
}

const functions& library() {
    if (loaded != nullptr) return bound;
    DWORD error = ERROR_MOD_NOT_FOUND;
    std::wstring refusals;
    replay::module_handle module(load_first_trusted(refusals, error));
    if (!module) {
        // Where an administrator may put the library, and why each place
        // was refused; the operations then fail in their ordinary way.
        if (!refusals_logged) {
            replay::log::message(L"The suite client library %S was not loaded: %ls", library_name, refusals.c_str());
            refusals_logged = true;
        }
        throw replay::exception_w(L"Unable to load the suite client library %S (error %d)", library_name,
                                  static_cast<int>(error));
    }
    functions found;
    found.open_lib = look_up<open_lib_fn>(module.get(), "VS_Open_Lib");
    found.products_open = look_up<products_open_fn>(module.get(), "VS_Products_Open");
    found.products_count = look_up<products_count_fn>(module.get(), "VS_Products_Count");
    found.products_name = look_up<products_name_fn>(module.get(), "VS_Products_Name");
    found.products_unregister = look_up<products_unregister_fn>(module.get(), "VS_Products_Unregister");
    found.open_suite_file = look_up<open_suite_file_fn>(module.get(), "VS_Open_SuiteFile");
    found.get_user_name = look_up<get_text_fn>(module.get(), "VS_Get_User_Name");
    found.get_user_site = look_up<get_text_fn>(module.get(), "VS_Get_User_Site");
    found.last_error_description = look_up<last_error_fn>(module.get(), "VS_Last_Error_Description");
    found.close_handle = look_up<close_handle_fn>(module.get(), "VS_Close_Handle");
    bound = found;
    // Kept loaded until release_library.
    loaded = module.release();
    return bound;
}

// The library's texts are its own: copied at once; null reads as empty.
std::wstring copied(const wchar_t* text) { return text == nullptr ? std::wstring() : std::wstring(text); }

std::wstring last_error(void* handle) { return copied(library().last_error_description(handle)); }

template <typename Handle>
std::shared_ptr<Handle> owned(Handle* handle) {
    const close_handle_fn close = library().close_handle;
    return std::shared_ptr<Handle>(handle, [close](Handle* h) { close(h); });
}

}  // namespace

void set_library_folders(const std::wstring& suite, const std::wstring& tray) {
    suite_folder = suite;
    tray_folder = tray;
}

std::vector<library_place> library_places() {
    return {{program_folder(), writers::administrators, /*check_owner=*/true},
            {suite_folder, writers::administrators_and_runner, /*check_owner=*/false},
            {tray_folder, writers::administrators_and_runner, /*check_owner=*/false}};
}

std::string copy_refusal(const library_place& place) {
    if (!is_absolute_path(place.folder)) return "not found";
    const std::wstring path = copy_in(place);
    DWORD error = 0;
    // The deletions' own link check, on the copy and every folder above it.
    switch (check_links(path, &error)) {
    case link_state::link:
        return "a link";
    case link_state::unknown:
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "not found";
        return replay::format("cannot be examined (error %d)", static_cast<int>(error));
    case link_state::own:
        break;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "not found";
    // The folder by its own name; a drive root keeps its backslash.
    std::wstring folder = path.substr(0, path.rfind(L'\\'));
    if (folder.size() == 2) folder += L'\\';
    return path_refusal(folder, place.others, place.check_owner).empty() ? std::string() : open_folder;
}

std::string folder_refusal(const library_place& place, PSECURITY_DESCRIPTOR descriptor, PSID runner) {
    return descriptor_refusal(descriptor, place.others, runner, place.check_owner).empty() ? std::string()
                                                                                           : open_folder;
}

void release_library() {
    // The reference that library() took goes with this owner.
    const replay::module_handle reference(GetModuleHandleA(library_name));
    loaded = nullptr;
    bound = {};
}

library_handle open_library() {
    VS_Lib_Handle_* handle = library().open_lib();
    if (handle == nullptr) throw replay::exception_w(L"Failed to initialize suite client library");
    return owned(handle);
}

products_list open_products(const library_handle& lib) {
    VS_Products_Handle_* handle = library().products_open(lib.get());
    if (handle == nullptr) throw replay::exception_w(L"Failed to initialize products list");
    return {lib, owned(handle)};
}

std::int32_t count_products(const products_list& list) {
    const std::int32_t count = library().products_count(list.products.get());
    if (count < 0) throw replay::exception_w(last_error(list.products.get()));
    return count;
}

std::wstring product_name(const products_list& list, const std::wstring& code) {
    return copied(library().products_name(list.products.get(), code.c_str()));
}

void unregister_product(const products_list& list, const std::wstring& code) {
    if (library().products_unregister(list.products.get(), code.c_str()) == 0) {
        throw replay::exception_w(last_error(list.products.get()));
    }
}

suite_file open_suite_file(const library_handle& lib, const std::wstring& path) {
    VS_Suite_Handle_* handle = library().open_suite_file(lib.get(), path.c_str());
    if (handle == nullptr) {
        throw replay::exception_w(L"Failed to load suite data: %s", last_error(lib.get()).c_str());
    }
    return {lib, owned(handle)};
}

namespace {

std::wstring read_text(const suite_file& file, get_text_fn get) {
    std::wstring text = copied(get(file.suite.get()));
    const std::wstring error = last_error(file.suite.get());
    if (!error.empty()) throw replay::exception_w(error);
    return text;
}

}  // namespace

std::wstring user_name(const suite_file& file) { return read_text(file, library().get_user_name); }

std::wstring user_site(const suite_file& file) { return read_text(file, library().get_user_site); }

}  // namespace remover::suite
