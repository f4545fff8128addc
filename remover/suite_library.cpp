#include "remover/suite_library.hpp"

#include <windows.h>

#include "replay/exception.hpp"
#include "replay/system_function.hpp"

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

std::wstring library_folder;
HMODULE loaded = nullptr;
functions bound = {};

std::wstring wide_library_name() {
    const std::string name = library_name;
    return std::wstring(name.begin(), name.end());  // ASCII
}

bool is_full_path(const std::wstring& path) {
    return (path.size() > 2 && path[1] == L':' && path[2] == L'\\') ||
           (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\');
}

// Loads the library file in `folder`; null when there is none or it fails.
HMODULE load_from(std::wstring folder, DWORD& error) {
    if (!is_full_path(folder)) return nullptr;
    if (folder.back() != L'\\') folder += L'\\';
    const std::wstring path = folder + wide_library_name();
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        return nullptr;
    }
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

template <typename Function>
Function look_up(HMODULE module, const char* name) {
    const auto function = replay::module_function<Function>(module, name);
    if (function == nullptr) throw replay::exception_w(L"The suite client library has no function %S", name);
    return function;
}

const functions& library() {
    if (loaded != nullptr) return bound;
    DWORD error = ERROR_MOD_NOT_FOUND;
    // The suite's own folder only: a copy beside the remover's executable
    // lies in a folder that the signed-in user can usually write.
    HMODULE module = load_from(library_folder, error);
    if (module == nullptr) {
        throw replay::exception_w(L"Unable to load the suite client library %S (error %d)", library_name,
                                  static_cast<int>(error));
    }
    try {
        functions found;
        found.open_lib = look_up<open_lib_fn>(module, "VS_Open_Lib");
        found.products_open = look_up<products_open_fn>(module, "VS_Products_Open");
        found.products_count = look_up<products_count_fn>(module, "VS_Products_Count");
        found.products_name = look_up<products_name_fn>(module, "VS_Products_Name");
        found.products_unregister = look_up<products_unregister_fn>(module, "VS_Products_Unregister");
        found.open_suite_file = look_up<open_suite_file_fn>(module, "VS_Open_SuiteFile");
        found.get_user_name = look_up<get_text_fn>(module, "VS_Get_User_Name");
        found.get_user_site = look_up<get_text_fn>(module, "VS_Get_User_Site");
        found.last_error_description = look_up<last_error_fn>(module, "VS_Last_Error_Description");
        found.close_handle = look_up<close_handle_fn>(module, "VS_Close_Handle");
        bound = found;
    } catch (...) {
        FreeLibrary(module);
        throw;
    }
    loaded = module;
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

void set_library_folder(const std::wstring& folder) { library_folder = folder; }

void release_library() {
    if (HMODULE module = GetModuleHandleA(library_name)) FreeLibrary(module);
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
