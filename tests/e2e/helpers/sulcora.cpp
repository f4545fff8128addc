// sulcora: stands in for the maker's suite client library, built as
// Sulcora64.dll (64-bit) and Sulcora.dll (32-bit) with the ten functions of
// its binary interface. It works on small files:
//
//   products.txt  beside the library: one "CODE=Name" line per registered
//                 product (UTF-8); unregistration rewrites it.
//   fail.txt      beside the library, optional: words naming the failures to
//                 show: open_lib (VS_Open_Lib gives null), products_open
//                 (null products list), count (a negative count),
//                 unregister (VS_Products_Unregister gives 0), user_name
//                 (an error text after reading the user name).
//   suite.cfg     at the path the caller gives: "name=..." and "site=..."
//                 lines (UTF-8).
//
// Every load of any copy appends the copy's own path to
// C:\e2e\sulcora_loads.txt, so that the tests see which copy was loaded;
// every release by FreeLibrary (not the end of the process) appends it to
// C:\e2e\sulcora_releases.txt.
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "helper_output.hpp"

struct VS_Lib_Handle_;
struct VS_Products_Handle_;
struct VS_Suite_Handle_;

namespace {

constexpr wchar_t loads_file[] = L"C:\\e2e\\sulcora_loads.txt";
constexpr wchar_t releases_file[] = L"C:\\e2e\\sulcora_releases.txt";

HMODULE self = nullptr;

// Every handle is one of these; the kind says which.
struct handle {
    enum kind_t { library, products, suite };
    explicit handle(kind_t k) : kind(k) {}
    kind_t kind;
    std::wstring last_error;
    std::wstring text;  // the last text handed out, owned here
    std::vector<std::pair<std::wstring, std::wstring>> entries;  // products: code, name
    std::wstring user_name, user_site;
};

std::wstring own_folder() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// The lines of a UTF-8 file without line ends; false when it cannot be read.
bool read_lines(const std::wstring& path, std::vector<std::wstring>& lines) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
    CloseHandle(file);
    std::istringstream stream(data);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(widen(line));
    }
    return true;
}

bool failing(const wchar_t* what) {
    std::vector<std::wstring> words;
    if (!read_lines(own_folder() + L"fail.txt", words)) return false;
    for (const std::wstring& line : words) {
        if (line.find(what) != std::wstring::npos) return true;
    }
    return false;
}

std::wstring products_path() { return own_folder() + L"products.txt"; }

void save_products(const handle& list) {
    std::string data;
    for (const auto& [code, name] : list.entries) data += helper::to_utf8(code + L"=" + name) + "\n";
    const HANDLE file = CreateFileW(products_path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
}

const wchar_t* hand_out(handle* h, std::wstring text) {
    h->text = std::move(text);
    return h->text.c_str();
}

}  // namespace

extern "C" {

__declspec(dllexport) VS_Lib_Handle_* __cdecl VS_Open_Lib(void) {
    if (failing(L"open_lib")) return nullptr;
    return reinterpret_cast<VS_Lib_Handle_*>(new handle(handle::library));
}

__declspec(dllexport) VS_Products_Handle_* __cdecl VS_Products_Open(VS_Lib_Handle_* lib) {
    auto* library = reinterpret_cast<handle*>(lib);
    if (library == nullptr || failing(L"products_open")) {
        if (library) library->last_error = L"products list unavailable";
        return nullptr;
    }
    auto* list = new handle(handle::products);
    std::vector<std::wstring> lines;
    read_lines(products_path(), lines);
    for (const std::wstring& line : lines) {
        const size_t equals = line.find(L'=');
        if (equals != std::wstring::npos) list->entries.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return reinterpret_cast<VS_Products_Handle_*>(list);
}

__declspec(dllexport) std::int32_t __cdecl VS_Products_Count(VS_Products_Handle_* products) {
    auto* list = reinterpret_cast<handle*>(products);
    if (failing(L"count")) {
        list->last_error = L"the products list is damaged";
        return -1;
    }
    return static_cast<std::int32_t>(list->entries.size());
}

__declspec(dllexport) const wchar_t* __cdecl VS_Products_Name(VS_Products_Handle_* products, const wchar_t* code) {
    auto* list = reinterpret_cast<handle*>(products);
    for (const auto& [entry, name] : list->entries) {
        if (entry == code) return hand_out(list, name);
    }
    return hand_out(list, L"");
}

__declspec(dllexport) std::int32_t __cdecl VS_Products_Unregister(VS_Products_Handle_* products,
                                                                 const wchar_t* code) {
    auto* list = reinterpret_cast<handle*>(products);
    if (failing(L"unregister")) {
        list->last_error = std::wstring(L"unregistration of ") + code + L" refused by the suite";
        return 0;
    }
    for (auto it = list->entries.begin(); it != list->entries.end(); ++it) {
        if (it->first == code) {
            list->entries.erase(it);
            save_products(*list);
            return 1;
        }
    }
    list->last_error = std::wstring(code) + L" is not registered";
    return 0;
}

__declspec(dllexport) VS_Suite_Handle_* __cdecl VS_Open_SuiteFile(VS_Lib_Handle_* lib, const wchar_t* path) {
    auto* library = reinterpret_cast<handle*>(lib);
    std::vector<std::wstring> lines;
    if (!read_lines(path, lines)) {
        library->last_error = std::wstring(L"cannot open ") + path;
        return nullptr;
    }
    auto* suite = new handle(handle::suite);
    for (const std::wstring& line : lines) {
        if (line.rfind(L"name=", 0) == 0) suite->user_name = line.substr(5);
        if (line.rfind(L"site=", 0) == 0) suite->user_site = line.substr(5);
    }
    return reinterpret_cast<VS_Suite_Handle_*>(suite);
}

__declspec(dllexport) const wchar_t* __cdecl VS_Get_User_Name(VS_Suite_Handle_* suite) {
    auto* file = reinterpret_cast<handle*>(suite);
    if (failing(L"user_name")) file->last_error = L"the user name is unreadable";
    return hand_out(file, file->user_name);
}

__declspec(dllexport) const wchar_t* __cdecl VS_Get_User_Site(VS_Suite_Handle_* suite) {
    auto* file = reinterpret_cast<handle*>(suite);
    return hand_out(file, file->user_site);
}

__declspec(dllexport) const wchar_t* __cdecl VS_Last_Error_Description(void* any) {
    return any == nullptr ? L"" : reinterpret_cast<handle*>(any)->last_error.c_str();
}

__declspec(dllexport) void __cdecl VS_Close_Handle(void* any) { delete reinterpret_cast<handle*>(any); }

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    // A null `reserved` on detach means FreeLibrary, not the process ending.
    const bool released = reason == DLL_PROCESS_DETACH && reserved == nullptr;
    if (reason == DLL_PROCESS_ATTACH || released) {
        self = instance;
        wchar_t path[MAX_PATH * 4] = {};
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH * 4);
        CreateDirectoryW(L"C:\\e2e", nullptr);
        helper::append_line(released ? releases_file : loads_file,
                            helper::to_utf8(std::wstring(path, length)) + "\n");
    }
    return TRUE;
}
