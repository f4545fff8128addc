#include "replay/internet/transport/transport.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "replay/internet/address/address.hpp"
#include "replay/internet/environment/environment.hpp"
#include "support/emulation.hpp"

namespace {

namespace address = replay::internet::address;
namespace transport = replay::internet::transport;
using tcp_errors = transport::tcp::base;

// what() of the error that `action` raises as Error, or what happened instead.
template <typename Error>
std::string raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other error: ") + e.what();
    }
    return "nothing raised";
}

void send_text(SOCKET peer, const std::string& text) {
    send(peer, text.data(), static_cast<int>(text.size()), 0);
}

// Collects what the client sends until it closes the connection.
void wait_for_close(SOCKET peer, std::string* received = nullptr) {
    char buffer[512];
    for (int count; (count = recv(peer, buffer, sizeof(buffer), 0)) > 0;) {
        if (received != nullptr) received->append(buffer, static_cast<size_t>(count));
    }
}

// Serves one client on 127.0.0.1 with `play`, on a thread of its own. Its
// waits are bounded, so that a failing test ends.
class loopback_server {
public:
    explicit loopback_server(std::function<void(SOCKET)> play)
        : listener_(socket(AF_INET, SOCK_STREAM, 0)), where_("127.0.0.1", 0) {
        int length = where_.length();
        EXPECT_EQ(bind(listener_, where_.get(), length), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        EXPECT_EQ(getsockname(listener_, where_.get(), &length), 0);
        thread_ = std::thread([this, play] {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener_, &ready);
            timeval limit = {10, 0};
            if (select(0, &ready, nullptr, nullptr, &limit) != 1) return;
            const SOCKET peer = accept(listener_, nullptr, nullptr);
            const DWORD wait_ms = 10000;
            setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof(wait_ms));
            const BOOL no_delay = TRUE;  // each send leaves as a segment of its own
            setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof(no_delay));
            play(peer);
            closesocket(peer);
        });
    }
    ~loopback_server() {
        finish();
        closesocket(listener_);
    }

    const address::ip4& where() const { return where_; }
    // Waits until the client has been served.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

private:
    SOCKET listener_;
    address::ip4 where_;
    std::thread thread_;
};

class Transport : public ::testing::Test {
protected:
    void SetUp() override { SKIP_THREADS_WHERE_EMULATED(); }

    replay::internet::environment::startup winsock;
};

TEST_F(Transport, ConnectToAClosedPortIsRefused) {
    // A port that was just free and has no listener now.
    address::ip4 closed;
    {
        transport::tcp::raw probe;
        const address::ip4 any_port("127.0.0.1", 0);
        probe.open(any_port);
        ASSERT_EQ(bind(probe.handle(), any_port.get(), any_port.length()), 0);
        int length = closed.length();
        ASSERT_EQ(getsockname(probe.handle(), closed.get(), &length), 0);
    }
    transport::tcp::raw link;
    link.open(closed);
    EXPECT_EQ(raised<tcp_errors::connection_refused>([&] { link.connect(closed); }),
              "internet.transport.connection_failed.connection_refused[connect() failed]");
}

TEST_F(Transport, ReadLineEndsAtEachTerminatorUntilThePeerCloses) {
    struct row {
        std::vector<std::string> segments;  // sent 100 ms apart
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {{"abc\r", "\ndef\r\n"}, {"abc", "def"}},
        {{"a\n\nb\n"}, {"a", "", "b"}},
        {{"a\r\r\nb\r\n"}, {"a", "", "b"}},
        {{"a\n", "\rb\n", "\n"}, {"a", "b", ""}},
        {{"whole\r\n", "no end"}, {"whole"}},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.segments.front());
        std::size_t total = 0;
        for (const std::string& segment : each.segments) total += segment.size();
        loopback_server server([&](SOCKET peer) {
            for (const std::string& segment : each.segments) {
                send_text(peer, segment);
                Sleep(100);
            }
            shutdown(peer, SD_SEND);  // the orderly end: the client reads the end of the stream
            wait_for_close(peer);
        });
        transport::tcp::raw link;
        link.open(server.where());
        link.connect(server.where());
        for (const std::string& line : each.lines) EXPECT_EQ(transport::read_line(link), line);
        EXPECT_EQ(raised<tcp_errors::connection_closed>([&] { transport::read_line(link); }),
                  "internet.transport.connection_failed.connection_closed[recv() failed]");
        EXPECT_EQ(link.bytes_received(), total);
    }
}

TEST_F(Transport, LineEndedByALoneLfIsReturnedAtOnceAndASilentPeerTimesOut) {
    std::string received;
    loopback_server server([&](SOCKET peer) {
        send_text(peer, "ready\n");
        wait_for_close(peer, &received);
    });
    {
        transport::tcp::raw link;
        link.open(server.where());
        link.connect(server.where());
        const DWORD limit_ms = 1000;
        link.set_option(SOL_SOCKET, SO_RCVTIMEO, &limit_ms, sizeof(limit_ms));
        // The peer now waits for an answer: nothing follows the LF.
        EXPECT_EQ(transport::read_line(link), "ready");
        transport::write_line(link, "ping");
        transport::write_bytes(link, ".");
        EXPECT_EQ(link.bytes_sent(), 7u);
        EXPECT_EQ(raised<tcp_errors::connection_timed_out>([&] { transport::read_line(link); }),
                  "internet.transport.connection_failed.connection_timed_out[recv() failed]");
    }
    server.finish();
    EXPECT_EQ(received, "ping\r\n.");
}

// A line past the cap is refused as soon as the cap is passed, without
// waiting for its end; waits limited to a total end when the total does,
// also with no limit of their own. The peer stays silent for 3 s and then
// closes: waiting for it shows as connection_closed.
TEST_F(Transport, CappedLinesAndLimitedWaits) {
    struct row {
        const char* name;
        std::string sent;
        std::size_t most;
        DWORD each_ms, total_ms;  // 0, 0: no limits set
        const char* what;  // what the second read_line raises, after "abcd"
    };
    const row rows[] = {
        {"line over the cap", "abcd\nabcde\r\n", 4, 0, 0, "internet.transport.line_too_long[line longer than 4 bytes]"},
        {"no line end, over the cap", "abcd\nabcdefgh", 4, 0, 0,
         "internet.transport.line_too_long[line longer than 4 bytes]"},
        {"total without a limit of each wait", "abcd\n", 100, 0, 1000,
         "internet.transport.connection_failed.connection_timed_out[recv() failed]"},
        {"each wait within the total", "abcd\n", 100, 500, 60000,
         "internet.transport.connection_failed.connection_timed_out[recv() failed]"},
        {"no limits", "abcd\n", 100, 0, 0, "internet.transport.connection_failed.connection_closed[recv() failed]"},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        loopback_server server([&](SOCKET peer) {
            send_text(peer, each.sent);
            WaitForSingleObject(done, 3000);
        });
        transport::tcp::raw link;
        link.open(server.where());
        link.connect(server.where());
        if (each.total_ms != 0) link.limit_waits(each.each_ms, each.total_ms);
        EXPECT_EQ(transport::read_line(link, each.most), "abcd");
        EXPECT_EQ(raised<transport::generic>([&] { transport::read_line(link, each.most); }), each.what);
        SetEvent(done);
        server.finish();
        CloseHandle(done);
    }
}

class Address : public ::testing::Test {
protected:
    replay::internet::environment::startup winsock;
};

TEST_F(Address, ResolutionFailures) {
    struct row {
        const char* host;
        const char* what;
    };
    const row rows[] = {
        {"no-such-host.invalid", "internet.address.host_not_found[GetAddrInfoA() failed]"},
        // A literal has only the address it names: here an IPv6 one.
        {"::1", "internet.address[GetAddrInfoA() walk failed]"},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.host);
        EXPECT_EQ(raised<address::generic>([&] { address::ip4(each.host, 25); }), each.what);
    }
}

TEST_F(Address, Ip4Operations) {
    const address::ip4 mail("127.0.0.1", 25);
    EXPECT_EQ(mail.port(), 25);
    EXPECT_EQ(mail.length(), 16);
    EXPECT_EQ(mail.text(), "127.0.0.1:25");
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(mail.get())->sin_port, htons(25));

    address::ip4 copy;
    EXPECT_TRUE(copy != mail);
    copy.assign(mail.get(), mail.length());
    EXPECT_TRUE(copy == mail && !(copy != mail) && !(copy < mail));
    EXPECT_EQ(raised<address::invalid_address_format>([&] { copy.assign(mail.get(), 8); }),
              "internet.address.invalid_address_format[Size mismatch]");

    // Byte order: the port (network order) comes before the host.
    const address::ip4 next_port("127.0.0.1", 26);
    const address::ip4 other_host("127.0.0.2", 25);
    EXPECT_TRUE(mail < other_host && other_host < next_port);
    EXPECT_FALSE(next_port < mail);
}

TEST_F(Address, StandInResolverAgreesWithTheSystem) {
    const auto& stand_ins = address::detail::fallback_resolver();
    addrinfo* list = nullptr;
    ASSERT_EQ(stand_ins.getaddrinfo("127.0.0.1", "25", nullptr, &list), 0);
    ASSERT_EQ(list->ai_addrlen, sizeof(sockaddr_in));
    address::ip4 found;
    found.assign(list->ai_addr, static_cast<int>(list->ai_addrlen));
    EXPECT_EQ(list->ai_next, nullptr);
    stand_ins.freeaddrinfo(list);
    EXPECT_TRUE(found == address::ip4("127.0.0.1", 25));

    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    EXPECT_EQ(stand_ins.getnameinfo(found.get(), found.length(), host, sizeof(host), service, sizeof(service),
                                    NI_NUMERICHOST | NI_NUMERICSERV),
              0);
    EXPECT_EQ(std::string(host) + ":" + service, found.text());
    EXPECT_EQ(stand_ins.getaddrinfo("127.0.0.1", "no-such-service", nullptr, &list), WSATYPE_NOT_FOUND);
}

}  // namespace

namespace {

// Every user of Windows Sockets in this program ends what it starts, so it is
// not running between tests.
TEST(Environment, SocketCallsNeedWindowsSocketsStarted) {
    transport::tcp::raw link;
    EXPECT_EQ(raised<replay::internet::environment::generic>([&] { link.open(address::ip4()); }),
              "internet.environment.subsystem_failed[socket() failed]");
    {
        const replay::internet::environment::startup winsock;
        EXPECT_EQ(winsock.data().wVersion, replay::internet::environment::requested_version);
        link.open(address::ip4("127.0.0.1", 25));
        EXPECT_NE(link.handle(), INVALID_SOCKET);
        link.close();
        EXPECT_EQ(link.handle(), INVALID_SOCKET);
    }
}

}  // namespace
