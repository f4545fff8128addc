#pragma once
// Move-only owners for Win32 handles, one alias per kind. Each kind's traits
// name its "no handle" value and how it is closed; closing keeps LastError.
// Sockets first: winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace replay {

template <typename Traits>
class unique_handle {
public:
    using pointer = typename Traits::pointer;

    unique_handle() noexcept = default;
    explicit unique_handle(pointer value) noexcept : value_(value) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    unique_handle(unique_handle&& other) noexcept : value_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_handle() noexcept { reset(); }

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(pointer value = Traits::invalid()) noexcept {
        const pointer old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            const DWORD saved = GetLastError();
            Traits::close(old);
            SetLastError(saved);
        }
    }

    // For functions that return a handle through an out parameter.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

namespace handle_traits {

// OpenProcess, OpenProcessToken, CreateMutex, CreateFile of a mutex: NULL.
struct kernel_null {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

// CreateFile, CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE.
struct kernel_invalid {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

struct find {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { FindClose(h); }
};

struct registry_key {
    using pointer = HKEY;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { RegCloseKey(h); }
};

struct module {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { FreeLibrary(h); }
};

// What the system allocated for the caller with LocalAlloc
// (FormatMessage, ConvertSidToStringSid).
struct local_memory {
    using pointer = HLOCAL;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { LocalFree(h); }
};

struct global_memory {
    using pointer = HGLOBAL;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { GlobalFree(h); }
};

// OpenSCManager, OpenService, CreateService: NULL.
struct service {
    using pointer = SC_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { CloseServiceHandle(h); }
};

struct sid {
    using pointer = PSID;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { FreeSid(h); }
};

// CreateWindowEx: NULL.
struct window {
    using pointer = HWND;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { DestroyWindow(h); }
};

// socket, accept: INVALID_SOCKET. Where a failed close must be reported,
// the caller closes the socket itself (closesocket's result is lost here).
struct socket {
    using pointer = SOCKET;
    static pointer invalid() noexcept { return INVALID_SOCKET; }
    static void close(pointer h) noexcept { closesocket(h); }
};

// Kinds closed alike are still distinct types, so that a handle of one kind
// cannot be handed where another is expected.
struct token : kernel_null {};
struct process : kernel_null {};
struct thread : kernel_null {};
struct mutex : kernel_null {};
struct file : kernel_invalid {};
struct snapshot : kernel_invalid {};

}  // namespace handle_traits

using token_handle = unique_handle<handle_traits::token>;
using process_handle = unique_handle<handle_traits::process>;
using thread_handle = unique_handle<handle_traits::thread>;
using mutex_handle = unique_handle<handle_traits::mutex>;
using file_handle = unique_handle<handle_traits::file>;
using snapshot_handle = unique_handle<handle_traits::snapshot>;
using find_handle = unique_handle<handle_traits::find>;
using unique_hkey = unique_handle<handle_traits::registry_key>;
using module_handle = unique_handle<handle_traits::module>;
using global_memory_handle = unique_handle<handle_traits::global_memory>;
using local_memory_handle = unique_handle<handle_traits::local_memory>;
using sid_handle = unique_handle<handle_traits::sid>;
using service_handle = unique_handle<handle_traits::service>;
using window_handle = unique_handle<handle_traits::window>;
using socket_handle = unique_handle<handle_traits::socket>;

}  // namespace replay
