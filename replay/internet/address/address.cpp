#include "replay/internet/address/address.hpp"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "replay/handle.hpp"
#include "replay/internet/environment/environment.hpp"
#include "replay/system_function.hpp"

namespace replay::internet::address {

namespace detail {

namespace {

// One entry of a stand-in list: the entry and the address it points to,
// allocated and freed together.
struct fallback_entry {
    addrinfo info;
    sockaddr_in address;
};

void WSAAPI fallback_freeaddrinfo(addrinfo* list) {
    while (list != nullptr) {
        addrinfo* const next = list->ai_next;
        delete reinterpret_cast<fallback_entry*>(list);
        list = next;
    }
}

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// IPv4 only, one entry per address of the host, in the order gethostbyname
// gives them; error codes are Windows Sockets codes, as getaddrinfo's are.
int WSAAPI fallback_getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                                addrinfo** result) {
    if (result == nullptr) return WSAEINVAL;
    *result = nullptr;
    if (node == nullptr && service == nullptr) return WSAHOST_NOT_FOUND;
    if (hints != nullptr && hints->ai_family != AF_UNSPEC && hints->ai_family != AF_INET) {
        return WSAEAFNOSUPPORT;
    }
    const int socket_type = hints != nullptr ? hints->ai_socktype : 0;
    const int protocol = hints != nullptr ? hints->ai_protocol : 0;

    u_short port = 0;  // network byte order
    if (service != nullptr) {
        if (all_digits(service)) {
            const unsigned long number = std::strtoul(service, nullptr, 10);
            if (number > 0xFFFF) return WSATYPE_NOT_FOUND;
            port = htons(static_cast<u_short>(number));
        } else {
            const servent* found = getservbyname(service, socket_type == SOCK_DGRAM ? "udp" : "tcp");
            if (found == nullptr) return WSATYPE_NOT_FOUND;
            port = static_cast<u_short>(found->s_port);
        }
    }

    // A dotted address needs no lookup; an absent node means this host.
    in_addr single{};
    in_addr* single_list[2] = {&single, nullptr};
    in_addr** addresses = single_list;
    if (node == nullptr) {
        single.s_addr = htonl(INADDR_LOOPBACK);
    } else if ((single.s_addr = inet_addr(node)) == INADDR_NONE &&
               std::strcmp(node, "255.255.255.255") != 0) {
        const hostent* host = gethostbyname(node);
        if (host == nullptr) {
            const int code = WSAGetLastError();
            return code != 0 ? code : WSAHOST_NOT_FOUND;
        }
        if (host->h_addrtype != AF_INET || host->h_length != sizeof(in_addr) ||
            host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
            return WSANO_DATA;
        }
        addresses = reinterpret_cast<in_addr**>(host->h_addr_list);
    }

    addrinfo* first = nullptr;
    addrinfo** tail = &first;
    for (in_addr** each = addresses; *each != nullptr; ++each) {
        auto* entry = new (std::nothrow) fallback_entry();
        if (entry == nullptr) {
            fallback_freeaddrinfo(first);
            return WSA_NOT_ENOUGH_MEMORY;
        }
        entry->address.sin_family = AF_INET;
        entry->address.sin_port = port;
        entry->address.sin_addr = **each;
        entry->info.ai_family = AF_INET;
        entry->info.ai_socktype = socket_type;
        entry->info.ai_protocol = protocol;
        entry->info.ai_addrlen = sizeof(sockaddr_in);
        entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
        *tail = &entry->info;
        tail = &entry->info.ai_next;
    }
    *result = first;
    return 0;
}

// IPv4 only. Names are looked up unless the flags ask for numbers; a name
// that is not found is given as a number unless NI_NAMEREQD is set.
int WSAAPI fallback_getnameinfo(const sockaddr* address, socklen_t length, char* host, DWORD host_size,
                                char* service, DWORD service_size, int flags) {
    if (address == nullptr || length != sizeof(sockaddr_in) || address->sa_family != AF_INET) {
        return WSAEAFNOSUPPORT;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (host != nullptr && host_size > 0) {
        const char* text = nullptr;
        if ((flags & NI_NUMERICHOST) == 0) {
            const hostent* found =
                gethostbyaddr(reinterpret_cast<const char*>(&in->sin_addr), sizeof(in_addr), AF_INET);
            if (found != nullptr) text = found->h_name;
        }
        if (text == nullptr) {
            if ((flags & NI_NAMEREQD) != 0) return WSAHOST_NOT_FOUND;
            text = inet_ntoa(in->sin_addr);
        }
        if (text == nullptr || std::strlen(text) >= host_size) return WSAEFAULT;
        std::strcpy(host, text);
    }
    if (service != nullptr && service_size > 0) {
        std::string text;
        if ((flags & NI_NUMERICSERV) == 0) {
            const servent* found = getservbyport(in->sin_port, (flags & NI_DGRAM) != 0 ? "udp" : "tcp");
            if (found != nullptr) text = found->s_name;
        }
        if (text.empty()) text = std::to_string(ntohs(in->sin_port));
        if (text.size() >= service_size) return WSAEFAULT;
        std::strcpy(service, text.c_str());
    }
    return 0;
}

bool take_from(HMODULE module, resolver& chosen) {
    if (module == nullptr) return false;
    resolver found{};
    found.getaddrinfo = module_function<decltype(found.getaddrinfo)>(module, "getaddrinfo");
    found.freeaddrinfo = module_function<decltype(found.freeaddrinfo)>(module, "freeaddrinfo");
    found.getnameinfo = module_function<decltype(found.getnameinfo)>(module, "getnameinfo");
    if (found.getaddrinfo == nullptr || found.freeaddrinfo == nullptr || found.getnameinfo == nullptr) {
        return false;
    }
    chosen = found;
    return true;
}

resolver look_up() {
    resolver chosen = fallback_resolver();
    // The program links ws2_32, so it is loaded already.
    if (take_from(GetModuleHandleW(L"ws2_32.dll"), chosen)) return chosen;
    // wship6 only from the system folder, never from wherever the search
    // order would find a file of that name. It stays loaded once used.
    wchar_t folder[MAX_PATH];
    const UINT size = GetSystemDirectoryW(folder, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) return chosen;
    const std::wstring path = std::wstring(folder, size) + L"\\wship6.dll";
    replay::module_handle wship6(LoadLibraryW(path.c_str()));
    if (take_from(wship6.get(), chosen)) {
        // Its functions are used for the rest of the run.
        static_cast<void>(wship6.release());
    }
    return chosen;
}

}  // namespace

const resolver& fallback_resolver() {
    static const resolver stand_ins{&fallback_getaddrinfo, &fallback_freeaddrinfo, &fallback_getnameinfo};
    return stand_ins;
}

const resolver& system_resolver() {
    static const resolver chosen = look_up();
    return chosen;
}

}  // namespace detail

bool base::operator==(const base& other) const {
    return length() == other.length() &&
           std::memcmp(get(), other.get(), static_cast<size_t>(length())) == 0;
}

bool base::operator!=(const base& other) const { return !(*this == other); }

bool base::operator<(const base& other) const {
    if (length() != other.length()) return length() < other.length();
    return std::memcmp(get(), other.get(), static_cast<size_t>(length())) < 0;
}

ip4::ip4() noexcept : address_() { address_.sin_family = AF_INET; }

ip4::ip4(const std::string& host, std::uint16_t port) : ip4() {
    const detail::resolver& resolver = detail::system_resolver();
    addrinfo* list = nullptr;
    const int code = resolver.getaddrinfo(host.c_str(), /*service=*/nullptr, /*hints=*/nullptr, &list);
    WSASetLastError(code);
    const std::unique_ptr<addrinfo, decltype(resolver.freeaddrinfo)> owner(list, resolver.freeaddrinfo);
    switch (code) {
    case 0:
        break;
    case WSANOTINITIALISED:
        throw environment::subsystem_not_ready("GetAddrInfoA() failed");
    case WSATYPE_NOT_FOUND:
        throw service_not_found("GetAddrInfoA() failed");
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
        throw host_not_found("GetAddrInfoA() failed");
    default:
        throw generic("GetAddrInfoA() returned status 0x%.8x", static_cast<unsigned>(code));
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen == sizeof(sockaddr_in) && entry->ai_addr != nullptr) {
            std::memcpy(&address_, entry->ai_addr, sizeof(sockaddr_in));
            address_.sin_port = htons(port);
            return;
        }
    }
    throw generic("GetAddrInfoA() walk failed");
}

void ip4::assign(const sockaddr* raw, int length) {
    if (length != static_cast<int>(sizeof(sockaddr_in))) throw invalid_address_format("Size mismatch");
    std::memcpy(&address_, raw, sizeof(sockaddr_in));
}

const sockaddr* ip4::get() const { return reinterpret_cast<const sockaddr*>(&address_); }

sockaddr* ip4::get() { return reinterpret_cast<sockaddr*>(&address_); }

int ip4::length() const { return static_cast<int>(sizeof(sockaddr_in)); }

std::string ip4::text() const {
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    const int code = detail::system_resolver().getnameinfo(get(), length(), host, sizeof(host), service,
                                                           sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV);
    if (code != 0) throw generic("GetNameInfoA() failed");
    return std::string(host) + ":" + service;
}

std::uint16_t ip4::port() const { return ntohs(address_.sin_port); }

}  // namespace replay::internet::address
