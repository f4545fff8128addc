#pragma once
// The maker's suite client library: Sulcora64.dll for the 64-bit program,
// Sulcora.dll for the 32-bit one. Its ten functions are exported with plain
// names and C linkage, use the default C calling convention, and own the
// texts they return.
//
// The library is loaded at the first call, by full path, from the first of
// these folders that holds a copy and passes its check: the program's own
// folder, which nobody but the administrators may write to or own (the
// account that runs the program does not count: a browser writes the
// download folder as that very account); the suite's folder and the tray's
// folder, which nobody but the administrators and the running account may
// write to. No folder on the way to a copy may be a link. The copy's own
// dependencies resolve from its folder and System32 only; a copy in the
// current directory or on PATH is never loaded. When no copy is loaded, one
// log line per run names each place tried and why it was refused.
//
// Every failure raises replay::exception_w with the text the callers log;
// nothing is cached between operations but the loaded module.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "remover/common/trust.hpp"

struct VS_Lib_Handle_;
struct VS_Products_Handle_;
struct VS_Suite_Handle_;

namespace remover::suite {

#if defined(ZENQO_X64)
inline constexpr char library_name[] = "Sulcora64.dll";
#else
inline constexpr char library_name[] = "Sulcora.dll";
#endif

// The suite's and the tray's installation folders.
void set_library_folders(const std::wstring& suite_folder, const std::wstring& tray_folder);

// A folder that a copy of the library may be loaded from, and who besides
// the administrators may write to it.
struct library_place {
    std::wstring folder;
    writers others;
    bool check_owner;
};

// The places in the order they are tried.
std::vector<library_place> library_places();

// Why a folder with this descriptor may not hold the copy loaded for the
// place: "others may write to the folder", or empty. `runner` is the running
// account (may be null). Raises nothing.
std::string folder_refusal(const library_place& place, PSECURITY_DESCRIPTOR descriptor, PSID runner);

// Why the copy of the library in the place may not be loaded: "not found",
// "a link" (the copy or a folder above it), "others may write to the folder",
// or "cannot be examined (error N)". Empty when it may. Raises nothing.
std::string copy_refusal(const library_place& place);

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
