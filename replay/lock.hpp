#pragma once
// Lock classes the log rests on. Every lock is taken through a replay::scope,
// so that an exception releases it.
#include <windows.h>

#include <exception>
#include <string>

#include "replay/handle.hpp"

namespace replay {

class scope_semantics {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    // A guard's destructor may report a failed release (see scope).
    virtual ~scope_semantics() noexcept(false) = default;
};

// In-process lock over a critical section; recursive within one thread.
class mutex : public scope_semantics {
public:
    mutex();
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    ~mutex() noexcept override;
    void lock() override;
    void unlock() override;

private:
    CRITICAL_SECTION section_;
};

// Named, system-wide mutex that every account can open. On Windows 2000 and
// later a name without a backslash lives in the global namespace ("Global\");
// on NT 4 everything up to the last backslash is dropped.
//
// Any account can create or hold a global name, so the mutex never stops its
// owner for long: lock() waits at most wait_limit_ms. When that runs out, or
// when the mutex could be neither created nor opened (a name taken with a
// DACL that denies us), lock() goes on without the lock, and so does every
// later lock() of this object, without waiting again; the matching unlock()
// then releases nothing. lock raises "WaitForSingleObject returned 0x%08x"
// when the wait itself fails, unlock "ReleaseMutex returned 0x%08x" when a
// held lock cannot be released. An abandoned mutex is taken over silently.
class real_mutex : public scope_semantics {
public:
    static constexpr DWORD default_wait_limit_ms = 3000;

    explicit real_mutex(const std::string& name, DWORD wait_limit_ms = default_wait_limit_ms);
    real_mutex(const real_mutex&) = delete;
    real_mutex& operator=(const real_mutex&) = delete;
    ~real_mutex() noexcept override;
    void lock() override;
    void unlock() override;

    // Whether this object has stopped taking the lock: the name could not be
    // opened, or a wait ran out.
    bool gave_up() const { return gave_up_; }

    // The name the mutex is created under, for the given requested name and
    // Windows major version.
    static std::string system_name(const std::string& name, DWORD major_version);

private:
    mutex_handle handle_;
    DWORD wait_limit_ms_;
    bool gave_up_ = false;
    // Locks taken without the mutex and not yet unlocked; they are always
    // the innermost, since none is taken with it after the first.
    unsigned unheld_ = 0;
};

// Locks the held object on construction and unlocks it once, on unlock() or
// on destruction. A null object is allowed and does nothing. A release that
// fails raises from unlock(), and from the destructor too unless another
// exception is already in flight (that one is not hidden).
class scope : public scope_semantics {
public:
    explicit scope(scope_semantics* target);
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;
    ~scope() noexcept(false) override;
    void lock() override;
    void unlock() override;

private:
    scope_semantics* target_;
    int exceptions_in_flight_;
};

}  // namespace replay
