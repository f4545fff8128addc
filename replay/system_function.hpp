#pragma once
// Functions that only some Windows versions have, bound at run time so that
// the program still starts where they are missing. Callers bind each function
// once (a constant or a function-local static) and test it for null.
#include <windows.h>

namespace replay {

// An exported function of a loaded module, as the type the caller knows it
// by; null when the module is null or lacks the function. GetProcAddress gives
// a generic function pointer: going through void(*)() states that the real
// type is known.
template <typename Function>
Function module_function(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A function of a system module that every process of the program has loaded
// (kernel32, ntdll, advapi32, ws2_32); null where this Windows lacks it.
template <typename Function>
Function system_function(const wchar_t* module, const char* name) {
    return module_function<Function>(GetModuleHandleW(module), name);
}

}  // namespace replay
