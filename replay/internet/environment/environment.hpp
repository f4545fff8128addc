#pragma once
// The Windows Sockets environment: one startup object keeps Windows Sockets
// 1.1 running for as long as it lives.
#include <winsock2.h>

#include "replay/exception.hpp"

namespace replay::internet::environment {

// Base of the family; also what an unexpected WSAStartup or WSACleanup code
// raises, with "WSAStartup() returned status 0x%.8x" or
// "WSACleanup() returned status 0x%.8x".
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "internet.environment");
// The network subsystem is not ready or is down (WSASYSNOTREADY, WSAENETDOWN).
REPLAY_DECLARE_EXCEPTION(subsystem_not_ready, generic, "subsystem_not_ready");
// Windows Sockets is not started, or failed while ending (WSANOTINITIALISED
// from a socket call, WSAENETDOWN from WSACleanup).
REPLAY_DECLARE_EXCEPTION(subsystem_failed, generic, "subsystem_failed");
// Version 1.1 is not offered (WSAVERNOTSUPPORTED).
REPLAY_DECLARE_EXCEPTION(version_not_supported, generic, "version_not_supported");

// Requested Windows Sockets version: 1.1.
constexpr WORD requested_version = 0x0101;
static_assert(requested_version == MAKEWORD(1, 1));

class startup {
public:
    // Starts Windows Sockets 1.1. Raises subsystem_not_ready or
    // version_not_supported with "WSAStartup() failed", or generic; nothing
    // is left to end then. The version granted is not examined.
    startup();
    startup(const startup&) = delete;
    startup& operator=(const startup&) = delete;
    // Ends this start of Windows Sockets. Success and WSANOTINITIALISED are
    // silent; WSAENETDOWN (subsystem_failed "WSACleanup() failed") and other
    // codes (generic "WSACleanup() returned status 0x%.8x") are swallowed,
    // since a destructor cannot report them.
    ~startup();

    const WSADATA& data() const noexcept { return data_; }

private:
    WSADATA data_;
};

}  // namespace replay::internet::environment
