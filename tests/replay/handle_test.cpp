#include "replay/handle.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/emulation.hpp"

namespace {

// One owner kind and the shared checks run on it.
struct owner_row {
    const char* kind;
    std::function<bool()> check;
};

// Every owner: a default one holds the kind's "no handle" value; reset closes
// what it holds and keeps the caller's LastError; release hands the handle
// back still open, for the caller to close (`close` succeeds only on a handle
// that is still open).
template <typename Owner, typename Make, typename Close>
bool closes_keeping_the_last_error(typename Owner::pointer none, Make make, Close close) {
    const Owner empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.get(), none);

    Owner owner(make());
    if (!owner) {
        ADD_FAILURE() << "no handle was made (error " << GetLastError() << ")";
        return false;
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    owner.reset();
    EXPECT_FALSE(owner);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    Owner kept(make());
    const typename Owner::pointer released = kept.release();
    EXPECT_FALSE(kept);
    EXPECT_TRUE(close(released)) << "the released handle was closed already";
    return true;
}

TEST(HandleOwners, CloseKeepingTheLastErrorAndReleaseUnclosed) {
    WSADATA winsock{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);
    const std::vector<owner_row> rows = {
        {"local memory",
         [] {
             return closes_keeping_the_last_error<replay::local_memory_handle>(
                 nullptr, [] { return LocalAlloc(LMEM_FIXED, 16); },
                 [](HLOCAL memory) { return LocalFree(memory) == nullptr; });
         }},
        {"registry key",
         [] {
             return closes_keeping_the_last_error<replay::unique_hkey>(
                 nullptr,
                 [] {
                     HKEY key = nullptr;
                     RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key);
                     return key;
                 },
                 [](HKEY key) { return RegCloseKey(key) == ERROR_SUCCESS; });
         }},
        {"socket",
         [] {
             return closes_keeping_the_last_error<replay::socket_handle>(
                 INVALID_SOCKET, [] { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); },
                 [](SOCKET s) { return closesocket(s) == 0; });
         }},
        {"window",
         [] {
             return closes_keeping_the_last_error<replay::window_handle>(
                 nullptr,
                 [] {
                     return CreateWindowExW(0, L"STATIC", L"owner test", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                            GetModuleHandleW(nullptr), nullptr);
                 },
                 [](HWND window) { return DestroyWindow(window) != FALSE; });
         }},
        {"service manager",
         [] {
             if (test_support::loader_is_emulated()) return true;  // the manager's calls crash there
             return closes_keeping_the_last_error<replay::service_handle>(
                 nullptr, [] { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT); },
                 [](SC_HANDLE manager) { return CloseServiceHandle(manager) != FALSE; });
         }},
    };
    for (const owner_row& row : rows) {
        SCOPED_TRACE(row.kind);
        row.check();
    }
    WSACleanup();
}

}  // namespace
