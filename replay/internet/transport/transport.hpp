#pragma once
// Buffered stream transports over Windows Sockets, with line reading.
//
// Every failed socket call raises an error chosen from its WSAGetLastError
// code. The message is the call's fixed text ("connect() failed", "recv()
// failed", "send() failed", "socket() failed", "closesocket() failed",
// "setsockopt() failed"); a code without a class of its own raises generic
// with "<call>() returned status 0x%.8x". WSAENETDOWN raises
// environment::subsystem_not_ready and WSANOTINITIALISED
// environment::subsystem_failed, for every call.
#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "replay/exception.hpp"
#include "replay/internet/address/address.hpp"

namespace replay::internet::transport {

REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "internet.transport");
// WSAEINTR from connect, recv or send.
REPLAY_DECLARE_EXCEPTION(operation_interrupted, generic, "operation_interrupted");
// WSAENOTSOCK from connect, recv, send or setsockopt.
REPLAY_DECLARE_EXCEPTION(not_a_socket, generic, "not_a_socket");
// WSAEADDRINUSE from connect.
REPLAY_DECLARE_EXCEPTION(address_in_use, generic, "address_in_use");
// WSAEADDRNOTAVAIL from connect.
REPLAY_DECLARE_EXCEPTION(address_not_valid, generic, "address_not_valid");

// Owns one socket and counts the bytes that pass through it.
class base {
public:
    base(const base&) = delete;
    base& operator=(const base&) = delete;
    // Closes the socket; errors of that close are not reported.
    virtual ~base();

    // Creates the socket for the address's family; a socket already held is
    // closed first. Raises with "socket() failed".
    virtual void open(const address::base& where) = 0;
    // Sends everything queued for sending.
    virtual void flush() = 0;
    // Waits for more received data and queues it.
    virtual void fill() = 0;

    // Closes the socket, if any; the handle is invalid afterwards whatever
    // happens. Raises with "closesocket() failed", except for WSAENOTSOCK.
    void close();

    // Sets a socket option; raises with "setsockopt() failed".
    void set_option(int level, int name, const void* value, int length);

    // Bounds every later receive and send: each waits at most `each_ms` (0:
    // no limit of its own), and all of them together end `total_ms` after
    // this call. Once the total has
    // run out, a receive or send raises tcp::base::connection_timed_out with
    // "recv() failed" or "send() failed" without waiting. Raises with
    // "setsockopt() failed".
    void limit_waits(DWORD each_ms, DWORD total_ms);

    // One recv of at most `capacity` bytes; returns how many arrived (0 only
    // for a capacity of 0). Raises tcp::base::connection_closed
    // "recv() failed" when the peer has closed the connection, and
    // tcp::base::connection_timed_out "recv() failed" when the receive
    // time-out expires.
    std::size_t recv_some(char* buffer, std::size_t capacity);
    // Sends all `count` bytes. Raises with "send() failed";
    // tcp::base::connection_timed_out "send() failed" when the send time-out
    // expires (a peer that stopped reading).
    void send_all(const char* buffer, std::size_t count);

    SOCKET handle() const noexcept { return socket_; }
    // Counts that wrap around after 4 GiB.
    std::uint32_t bytes_received() const noexcept { return received_; }
    std::uint32_t bytes_sent() const noexcept { return sent_; }

protected:
    base() = default;
    void take(SOCKET created) noexcept;

private:
    // Sets the receive or send time-out for the next call from the limits of
    // limit_waits; raises connection_timed_out when the total has run out.
    void arm(bool sending);

    // Closed by close(), which reports a failed closesocket; an owner
    // (socket_handle) closes without a word, so only the destructor's
    // close, which cannot report, goes unheard.
    SOCKET socket_ = INVALID_SOCKET;
    std::uint32_t received_ = 0;
    std::uint32_t sent_ = 0;
    // The limits of limit_waits, once it has been called.
    bool limited_ = false;
    DWORD each_ms_ = 0;
    DWORD total_ms_ = 0;
    DWORD started_ = 0;  // GetTickCount() when the limits were set
    DWORD armed_ms_[2] = {0, 0};  // the time-outs set now: receive, send
};

namespace tcp {

class base;
class raw;

}  // namespace tcp

// Longest line read_line returns unless told otherwise.
constexpr std::size_t default_line_limit = 4096;

REPLAY_DECLARE_EXCEPTION(line_too_long, generic, "line_too_long");

// One line without its terminator. A line ends at CR, LF, CR LF or LF CR:
// the line is returned as soon as its first terminator byte has arrived, and
// the matching other byte is dropped when it comes next, also when it
// arrives only at the next call. Waits for data as long as needed; raises
// what recv_some raises, and line_too_long "line longer than %u bytes" as
// soon as more than `most` bytes have come without a terminator.
std::string read_line(tcp::base& link, std::size_t most = default_line_limit);
// Queues `text` and CR LF and sends them at once.
void write_line(tcp::base& link, const std::string& text);
// Queues `text` and CR LF; sends what is queued once it reaches 64 KiB.
// A flush sends the rest.
void queue_line(tcp::base& link, const std::string& text);
// Queues `text` and sends it at once.
void write_bytes(tcp::base& link, const std::string& text);

namespace tcp {

// A stream socket with a send queue and a receive queue.
class base : public transport::base {
public:
    REPLAY_DECLARE_EXCEPTION(connection_failed, transport::generic, "connection_failed");
    // WSAECONNREFUSED from connect.
    REPLAY_DECLARE_EXCEPTION(connection_refused, connection_failed, "connection_refused");
    // WSAENETUNREACH from connect.
    REPLAY_DECLARE_EXCEPTION(network_unreachable, connection_failed, "network_unreachable");
    // WSAETIMEDOUT or WSAEHOSTUNREACH from connect.
    REPLAY_DECLARE_EXCEPTION(host_unreachable, connection_failed, "host_unreachable");
    // WSAECONNABORTED from recv or send.
    REPLAY_DECLARE_EXCEPTION(connection_aborted, connection_failed, "connection_aborted");
    // The peer closed the connection (recv or send gave 0, or WSAESHUTDOWN).
    REPLAY_DECLARE_EXCEPTION(connection_closed, connection_failed, "connection_closed");
    // WSAECONNRESET or WSAENETRESET from recv or send.
    REPLAY_DECLARE_EXCEPTION(connection_reset, connection_failed, "connection_reset");
    // WSAETIMEDOUT from recv or send: the receive time-out expired.
    REPLAY_DECLARE_EXCEPTION(connection_timed_out, connection_failed, "connection_timed_out");
    // (WSAENOTCONN from recv or send raises connection_failed itself.)

    // A stream socket (SOCK_STREAM, protocol 0) for the address's family.
    void open(const address::base& where) override;
    // Blocks until connected or the system's connect time-out. Raises with
    // "connect() failed".
    void connect(const address::base& where);

protected:
    base() = default;

    std::deque<char> send_queue_;
    std::deque<char> receive_queue_;

private:
    friend std::string transport::read_line(base& link, std::size_t most);
    friend void transport::write_line(base& link, const std::string& text);
    friend void transport::queue_line(base& link, const std::string& text);
    friend void transport::write_bytes(base& link, const std::string& text);

    // The terminator byte that ended the last line when nothing followed it
    // yet; its partner is dropped if it is the next byte to arrive.
    char unmatched_terminator_ = '\0';
};

// Plain TCP.
class raw : public base {
public:
    raw() = default;
    ~raw() override = default;

    void flush() override;
    // Receives at most 8192 bytes with one recv.
    void fill() override;
};

}  // namespace tcp

}  // namespace replay::internet::transport
