// set_string: changes one string of a program's string table, as a
// packager would with UpdateResource.
//
//   set_string.exe PROGRAM ID TEXT
//
// The other strings of ID's block (16 strings each) keep their texts; the
// block keeps its language (US English, as the program's resources are).
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr WORD language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const wchar_t* program = argv[1];
    const unsigned id = static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10));
    const WORD block = static_cast<WORD>(id / 16 + 1);
    // The block's sixteen strings as they are.
    std::vector<std::wstring> strings(16);
    HMODULE module = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return 3;
    if (HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language)) {
        const auto* data = static_cast<const WCHAR*>(LockResource(LoadResource(module, found)));
        const DWORD size = SizeofResource(module, found) / sizeof(WCHAR);
        DWORD at = 0;
        for (auto& text : strings) {
            if (at >= size) break;
            const WORD length = data[at++];
            text.assign(data + at, length);
            at += length;
        }
    }
    FreeLibrary(module);
    strings[id % 16] = argv[3];
    std::vector<WCHAR> data;
    for (const auto& text : strings) {
        data.push_back(static_cast<WCHAR>(text.size()));
        data.insert(data.end(), text.begin(), text.end());
    }
    HANDLE update = BeginUpdateResourceW(program, FALSE);
    if (update == nullptr) return 4;
    if (!UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(block), language, data.data(),
                         static_cast<DWORD>(data.size() * sizeof(WCHAR)))) {
        EndUpdateResourceW(update, TRUE);
        return 5;
    }
    return EndUpdateResourceW(update, FALSE) ? 0 : 6;
}
