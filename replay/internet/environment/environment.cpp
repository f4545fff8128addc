#include "replay/internet/environment/environment.hpp"

namespace replay::internet::environment {

namespace {

void cleanup() {
    if (WSACleanup() == 0) return;
    const int code = WSAGetLastError();
    switch (code) {
    case WSANOTINITIALISED:
        return;
    case WSAENETDOWN:
        throw subsystem_failed("WSACleanup() failed");
    default:
        throw generic("WSACleanup() returned status 0x%.8x", static_cast<unsigned>(code));
    }
}

}  // namespace

startup::startup() : data_() {
    // WSAStartup returns its error code itself; WSAGetLastError is not set.
    const int code = WSAStartup(requested_version, &data_);
    switch (code) {
    case 0:
        return;
    case WSASYSNOTREADY:
        throw subsystem_not_ready("WSAStartup() failed");
    case WSAVERNOTSUPPORTED:
        throw version_not_supported("WSAStartup() failed");
    default:
        throw generic("WSAStartup() returned status 0x%.8x", static_cast<unsigned>(code));
    }
}

startup::~startup() {
    try {
        cleanup();
    } catch (...) {
        // Nothing can be done about a failed end from a destructor.
    }
}

}  // namespace replay::internet::environment
