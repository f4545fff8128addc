#include "replay/lock.hpp"

#include "replay/exception.hpp"

namespace replay {

mutex::mutex() { InitializeCriticalSection(&section_); }

mutex::~mutex() noexcept { DeleteCriticalSection(&section_); }

void mutex::lock() { EnterCriticalSection(&section_); }

void mutex::unlock() { LeaveCriticalSection(&section_); }

namespace {

DWORD windows_major_version() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(&info)) return 0;
    return info.dwMajorVersion;
}

}  // namespace

std::string real_mutex::system_name(const std::string& name, DWORD major_version) {
    if (major_version > 4) {
        if (name.find('\\') == std::string::npos) return "Global\\" + name;
        return name;
    }
    // NT 4 has no namespaces: only the part after the last backslash.
    const size_t last = name.rfind('\\');
    return last == std::string::npos ? name : name.substr(last + 1);
}

real_mutex::real_mutex(const std::string& name, DWORD wait_limit_ms) : wait_limit_ms_(wait_limit_ms) {
    // A null DACL lets every account open the mutex, so that writers running
    // under other accounts serialise on the same file.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, /*present=*/TRUE, /*dacl=*/nullptr, /*defaulted=*/FALSE);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;

    const std::string full_name = system_name(name, windows_major_version());
    handle_.reset(CreateMutexA(&attributes, /*initial_owner=*/FALSE, full_name.c_str()));
    if (!handle_) {
        handle_.reset(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, /*inherit=*/FALSE, full_name.c_str()));
    }
    // A name that another account holds with a DACL of its own cannot stop
    // the writer: it writes without the lock.
    if (!handle_) gave_up_ = true;
}

real_mutex::~real_mutex() noexcept = default;

void real_mutex::lock() {
    if (gave_up_) {
        ++unheld_;
        return;
    }
    const DWORD result = WaitForSingleObject(handle_.get(), wait_limit_ms_);
    if (result == WAIT_FAILED) {
        const DWORD error = GetLastError();
        throw exception("WaitForSingleObject returned 0x%08x", static_cast<unsigned>(error));
    }
    if (result == WAIT_TIMEOUT) {
        gave_up_ = true;
        ++unheld_;
    }
}

void real_mutex::unlock() {
    if (unheld_ > 0) {
        --unheld_;
        return;
    }
    if (!ReleaseMutex(handle_.get())) {
        const DWORD error = GetLastError();
        throw exception("ReleaseMutex returned 0x%08x", static_cast<unsigned>(error));
    }
}

scope::scope(scope_semantics* target) : target_(target), exceptions_in_flight_(std::uncaught_exceptions()) {
    if (target_ != nullptr) target_->lock();
}

scope::~scope() noexcept(false) {
    if (target_ == nullptr) return;
    if (std::uncaught_exceptions() > exceptions_in_flight_) {
        try {
            unlock();
        } catch (...) {
            // The exception in flight is the one to report.
        }
        return;
    }
    unlock();
}

void scope::lock() {
    if (target_ != nullptr) target_->lock();
}

void scope::unlock() {
    scope_semantics* target = target_;
    target_ = nullptr;
    if (target != nullptr) target->unlock();
}

}  // namespace replay
