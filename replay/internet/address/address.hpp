#pragma once
// Socket addresses: an abstract base and IPv4 addresses resolved from a host
// name and a port.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>

#include "replay/exception.hpp"

namespace replay::internet::address {

// Base of the family; also a resolution that failed otherwise, or found no
// IPv4 address ("GetAddrInfoA() walk failed").
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "internet.address");
// The name is not known (WSAHOST_NOT_FOUND, WSANO_DATA).
REPLAY_DECLARE_EXCEPTION(host_not_found, generic, "host_not_found");
// The service is not known (WSATYPE_NOT_FOUND).
REPLAY_DECLARE_EXCEPTION(service_not_found, generic, "service_not_found");
// A raw socket address of the wrong size.
REPLAY_DECLARE_EXCEPTION(invalid_address_format, generic, "invalid_address_format");

class base {
public:
    virtual ~base() = default;

    // Copies a raw socket address of `length` bytes; raises
    // invalid_address_format "Size mismatch" when the size is not this kind's.
    virtual void assign(const sockaddr* raw, int length) = 0;
    virtual const sockaddr* get() const = 0;
    virtual sockaddr* get() = 0;
    virtual int length() const = 0;
    // Numeric host and port, "host:port". Raises generic
    // "GetNameInfoA() failed".
    virtual std::string text() const = 0;
    // In host byte order.
    virtual std::uint16_t port() const = 0;

    // Lengths first, then the bytes of the socket addresses.
    virtual bool operator==(const base& other) const;
    virtual bool operator!=(const base& other) const;
    virtual bool operator<(const base& other) const;

protected:
    base() = default;
    base(const base&) = default;
    base& operator=(const base&) = default;
};

class ip4 : public base {
public:
    // 0.0.0.0, port 0; to be filled by assign.
    ip4() noexcept;

    // Resolves `host` (a name or a dotted address) at once and takes its
    // first IPv4 address, with `port` (host byte order). Raises
    // host_not_found, service_not_found or generic with
    // "GetAddrInfoA() failed", generic "GetAddrInfoA() returned status
    // 0x%.8x" for other codes, generic "GetAddrInfoA() walk failed" when the
    // name has no IPv4 address, and environment::subsystem_not_ready when
    // Windows Sockets is not started. The resolver's code is also left in
    // WSAGetLastError.
    ip4(const std::string& host, std::uint16_t port);

    void assign(const sockaddr* raw, int length) override;
    const sockaddr* get() const override;
    sockaddr* get() override;
    int length() const override;
    std::string text() const override;
    std::uint16_t port() const override;

private:
    sockaddr_in address_;
};
static_assert(sizeof(sockaddr_in) == 16);

namespace detail {

// The name-resolution entry points: the system's, looked up once in ws2_32
// (else wship6), or stand-ins built on gethostbyname and getservbyname for
// systems that export neither. The three always belong together: a list is
// freed by the freeaddrinfo of the getaddrinfo that made it.
struct resolver {
    int(WSAAPI* getaddrinfo)(const char* node, const char* service, const addrinfo* hints,
                             addrinfo** result);
    void(WSAAPI* freeaddrinfo)(addrinfo* list);
    int(WSAAPI* getnameinfo)(const sockaddr* address, socklen_t length, char* host, DWORD host_size,
                             char* service, DWORD service_size, int flags);
};

// The entry points used by ip4.
const resolver& system_resolver();
// The stand-ins, whatever the system offers.
const resolver& fallback_resolver();

}  // namespace detail

}  // namespace replay::internet::address
