#pragma once
// The maker's suite client library: Sulcora64.dll for the 64-bit program,
// Sulcora.dll for the 32-bit one. Its ten functions are exported with plain
// names and C linkage, use the default C calling convention, and own the
// texts they return.
//
// The library is loaded at the first call, by full path only, from the
// suite's folder. Its own dependencies resolve from its folder and System32.
// A copy beside the remover's executable, in the current directory or on
// PATH is never loaded: the remover runs elevated, often from a download
// folder that the signed-in user can write.
//
// Every failure raises replay::exception_w with the text the callers log;
// nothing is cached between operations but the loaded module.
#include <cstdint>
#include <memory>
#include <string>

struct VS_Lib_Handle_;
struct VS_Products_Handle_;
struct VS_Suite_Handle_;

namespace remover::suite {

#if defined(ZENQO_X64)
inline constexpr char library_name[] = "Sulcora64.dll";
#else
inline constexpr char library_name[] = "Sulcora.dll";
#endif

// The folder searched first: the suite's installation folder.
void set_library_folder(const std::wstring& folder);

// Releases the library as the removal sequence does (the module that
// GetModuleHandleA finds under library_name, passed to FreeLibrary). A later
// call loads it again.
void release_library();

// Each handle is closed with VS_Close_Handle by its last owner. A products
// list and a suite file keep the library handle beside their own, so the
// library handle is closed last.
using library_handle = std::shared_ptr<VS_Lib_Handle_>;
struct products_list {
    library_handle library;
    std::shared_ptr<VS_Products_Handle_> products;
};
struct suite_file {
    library_handle library;
    std::shared_ptr<VS_Suite_Handle_> suite;
};

library_handle open_library();
products_list open_products(const library_handle& library);
std::int32_t count_products(const products_list& list);
// Empty when the code is not registered.
std::wstring product_name(const products_list& list, const std::wstring& code);
void unregister_product(const products_list& list, const std::wstring& code);
suite_file open_suite_file(const library_handle& library, const std::wstring& path);
std::wstring user_name(const suite_file& file);
std::wstring user_site(const suite_file& file);

}  // namespace remover::suite
