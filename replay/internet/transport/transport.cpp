#include "replay/internet/transport/transport.hpp"

#include <algorithm>
#include <climits>
#include <vector>

#include "replay/internet/environment/environment.hpp"

namespace replay::internet::transport {

namespace {

using tcp_errors = tcp::base;

// The socket calls whose failures are mapped, in the order of the columns of
// the mapping table.
enum class call { connect, recv_send, socket, closesocket, setsockopt };
constexpr std::size_t call_count = 5;

struct call_texts {
    const char* failed;
    const char* status;
};

call_texts texts_of(call which, bool sending) {
    switch (which) {
    case call::connect:
        return {"connect() failed", "connect() returned status 0x%.8x"};
    case call::recv_send:
        return sending ? call_texts{"send() failed", "send() returned status 0x%.8x"}
                       : call_texts{"recv() failed", "recv() returned status 0x%.8x"};
    case call::socket:
        return {"socket() failed", "socket() returned status 0x%.8x"};
    case call::closesocket:
        return {"closesocket() failed", "closesocket() returned status 0x%.8x"};
    case call::setsockopt:
        break;
    }
    return {"setsockopt() failed", "setsockopt() returned status 0x%.8x"};
}

// What a code raises for a call; `status` is generic with the call's status
// text, `ignored` raises nothing.
enum class outcome {
    status,
    ignored,
    operation_interrupted,
    not_a_socket,
    address_in_use,
    address_not_valid,
    subsystem_not_ready,
    subsystem_failed,
    connection_failed,
    connection_refused,
    network_unreachable,
    host_unreachable,
    connection_aborted,
    connection_closed,
    connection_reset,
    connection_timed_out,
};

struct mapping {
    int code;
    outcome by_call[call_count];  // connect, recv/send, socket, closesocket, setsockopt
};

using o = outcome;
constexpr mapping mappings[] = {
    {WSAEINTR, {o::operation_interrupted, o::operation_interrupted, o::status, o::status, o::status}},
    {WSAENOTSOCK, {o::not_a_socket, o::not_a_socket, o::status, o::ignored, o::not_a_socket}},
    {WSAEADDRINUSE, {o::address_in_use, o::status, o::status, o::status, o::status}},
    {WSAEADDRNOTAVAIL, {o::address_not_valid, o::status, o::status, o::status, o::status}},
    {WSAENETDOWN,
     {o::subsystem_not_ready, o::subsystem_not_ready, o::subsystem_not_ready, o::subsystem_not_ready,
      o::subsystem_not_ready}},
    {WSAENETUNREACH, {o::network_unreachable, o::status, o::status, o::status, o::status}},
    {WSAENETRESET, {o::status, o::connection_reset, o::status, o::status, o::status}},
    {WSAECONNABORTED, {o::status, o::connection_aborted, o::status, o::status, o::status}},
    {WSAECONNRESET, {o::status, o::connection_reset, o::status, o::status, o::status}},
    {WSAENOTCONN, {o::status, o::connection_failed, o::status, o::status, o::status}},
    {WSAESHUTDOWN, {o::status, o::connection_closed, o::status, o::status, o::status}},
    {WSAETIMEDOUT, {o::host_unreachable, o::connection_timed_out, o::status, o::status, o::status}},
    {WSAECONNREFUSED, {o::connection_refused, o::status, o::status, o::status, o::status}},
    {WSAEHOSTUNREACH, {o::host_unreachable, o::status, o::status, o::status, o::status}},
    {WSANOTINITIALISED,
     {o::subsystem_failed, o::subsystem_failed, o::subsystem_failed, o::subsystem_failed, o::subsystem_failed}},
};

// Raises the error that `code` means for `which`; returns only when the code
// is to be ignored.
void raise_for(call which, int code, bool sending = false) {
    outcome chosen = outcome::status;
    for (const mapping& row : mappings) {
        if (row.code == code) {
            chosen = row.by_call[static_cast<std::size_t>(which)];
            break;
        }
    }
    const call_texts text = texts_of(which, sending);
    switch (chosen) {
    case outcome::status:
        throw generic(text.status, static_cast<unsigned>(code));
    case outcome::ignored:
        return;
    case outcome::operation_interrupted:
        throw operation_interrupted(text.failed);
    case outcome::not_a_socket:
        throw not_a_socket(text.failed);
    case outcome::address_in_use:
        throw address_in_use(text.failed);
    case outcome::address_not_valid:
        throw address_not_valid(text.failed);
    case outcome::subsystem_not_ready:
        throw environment::subsystem_not_ready(text.failed);
    case outcome::subsystem_failed:
        throw environment::subsystem_failed(text.failed);
    case outcome::connection_failed:
        throw tcp_errors::connection_failed(text.failed);
    case outcome::connection_refused:
        throw tcp_errors::connection_refused(text.failed);
    case outcome::network_unreachable:
        throw tcp_errors::network_unreachable(text.failed);
    case outcome::host_unreachable:
        throw tcp_errors::host_unreachable(text.failed);
    case outcome::connection_aborted:
        throw tcp_errors::connection_aborted(text.failed);
    case outcome::connection_closed:
        throw tcp_errors::connection_closed(text.failed);
    case outcome::connection_reset:
        throw tcp_errors::connection_reset(text.failed);
    case outcome::connection_timed_out:
        throw tcp_errors::connection_timed_out(text.failed);
    }
    throw generic(text.status, static_cast<unsigned>(code));
}

constexpr std::size_t fill_size = 8192;
// Queued lines go out in sends of this size rather than one send each.
constexpr std::size_t send_batch = 64 * 1024;

bool is_terminator(char byte) { return byte == '\r' || byte == '\n'; }

char partner_of(char terminator) { return terminator == '\r' ? '\n' : '\r'; }

}  // namespace

base::~base() {
    try {
        close();
    } catch (...) {
        // A failed close cannot be reported from a destructor.
    }
}

void base::take(SOCKET created) noexcept {
    if (socket_ != INVALID_SOCKET) {
        // The old socket is replaced; its close is not reported.
        closesocket(socket_);
    }
    socket_ = created;
}

void base::close() {
    if (socket_ == INVALID_SOCKET) return;
    const SOCKET closing = socket_;
    socket_ = INVALID_SOCKET;
    if (closesocket(closing) == SOCKET_ERROR) raise_for(call::closesocket, WSAGetLastError());
}

void base::set_option(int level, int name, const void* value, int length) {
    if (setsockopt(socket_, level, name, static_cast<const char*>(value), length) == SOCKET_ERROR) {
        raise_for(call::setsockopt, WSAGetLastError());
    }
}

void base::limit_waits(DWORD each_ms, DWORD total_ms) {
    limited_ = true;
    // A time-out option of 0 would mean no limit at all: then only the
    // total bounds each wait.
    each_ms_ = each_ms == 0 ? total_ms : each_ms;
    total_ms_ = total_ms;
    started_ = GetTickCount();
    armed_ms_[0] = armed_ms_[1] = 0;
    arm(/*sending=*/false);
    arm(/*sending=*/true);
}

void base::arm(bool sending) {
    if (!limited_) return;
    // Unsigned difference: right also when the tick count wraps around.
    const DWORD elapsed = GetTickCount() - started_;
    if (elapsed >= total_ms_) {
        throw tcp::base::connection_timed_out(sending ? "send() failed" : "recv() failed");
    }
    const DWORD wait_ms = std::min(each_ms_, total_ms_ - elapsed);
    DWORD& armed = armed_ms_[sending ? 1 : 0];
    if (wait_ms == armed) return;
    set_option(SOL_SOCKET, sending ? SO_SNDTIMEO : SO_RCVTIMEO, &wait_ms, sizeof(wait_ms));
    armed = wait_ms;
}

std::size_t base::recv_some(char* buffer, std::size_t capacity) {
    // A recv of 0 bytes would answer 0 like a closed connection.
    if (capacity == 0) return 0;
    arm(/*sending=*/false);
    const int asked = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
    const int result = recv(socket_, buffer, asked, /*flags=*/0);
    if (result == SOCKET_ERROR) raise_for(call::recv_send, WSAGetLastError());
    if (result == 0) throw tcp::base::connection_closed("recv() failed");
    received_ += static_cast<std::uint32_t>(result);
    return static_cast<std::size_t>(result);
}

void base::send_all(const char* buffer, std::size_t count) {
    while (count > 0) {
        arm(/*sending=*/true);
        const int asked = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
        const int result = send(socket_, buffer, asked, /*flags=*/0);
        if (result == SOCKET_ERROR) raise_for(call::recv_send, WSAGetLastError(), /*sending=*/true);
        if (result == 0) throw tcp::base::connection_closed("send() failed");
        sent_ += static_cast<std::uint32_t>(result);
        buffer += result;
        count -= static_cast<std::size_t>(result);
    }
}

namespace tcp {

void base::open(const address::base& where) {
    const SOCKET created = socket(where.get()->sa_family, SOCK_STREAM, /*protocol=*/0);
    if (created == INVALID_SOCKET) raise_for(call::socket, WSAGetLastError());
    take(created);
}

void base::connect(const address::base& where) {
    if (::connect(handle(), where.get(), where.length()) == SOCKET_ERROR) {
        raise_for(call::connect, WSAGetLastError());
    }
}

void raw::flush() {
    if (send_queue_.empty()) return;
    const std::vector<char> pending(send_queue_.begin(), send_queue_.end());
    send_queue_.clear();
    send_all(pending.data(), pending.size());
}

void raw::fill() {
    char buffer[fill_size];
    const std::size_t count = recv_some(buffer, sizeof(buffer));
    receive_queue_.insert(receive_queue_.end(), buffer, buffer + count);
}

}  // namespace tcp

std::string read_line(tcp::base& link, std::size_t most) {
    std::deque<char>& queue = link.receive_queue_;
    // The previous line ended with a lone terminator byte: drop its partner
    // if that is what comes first now. Waiting for that byte right after the
    // line would stall a peer that ends lines with a lone CR or LF and then
    // waits for an answer.
    if (link.unmatched_terminator_ != '\0') {
        if (queue.empty()) link.fill();
        if (queue.front() == partner_of(link.unmatched_terminator_)) queue.pop_front();
        link.unmatched_terminator_ = '\0';
    }
    std::size_t scanned = 0;
    for (;;) {
        const auto end = std::find_if(queue.begin() + static_cast<std::ptrdiff_t>(scanned), queue.end(),
                                      is_terminator);
        const std::size_t length = static_cast<std::size_t>(end - queue.begin());
        // A peer that never ends its line must not fill the memory.
        if (length > most) throw line_too_long("line longer than %u bytes", static_cast<unsigned>(most));
        if (end != queue.end()) {
            std::string line(queue.begin(), end);
            const char terminator = *end;
            queue.erase(queue.begin(), end + 1);
            if (queue.empty()) {
                link.unmatched_terminator_ = terminator;
            } else if (queue.front() == partner_of(terminator)) {
                queue.pop_front();
            }
            return line;
        }
        scanned = queue.size();
        link.fill();
    }
}

void queue_line(tcp::base& link, const std::string& text) {
    link.send_queue_.insert(link.send_queue_.end(), text.begin(), text.end());
    link.send_queue_.push_back('\r');
    link.send_queue_.push_back('\n');
    if (link.send_queue_.size() >= send_batch) link.flush();
}

void write_line(tcp::base& link, const std::string& text) {
    queue_line(link, text);
    link.flush();
}

void write_bytes(tcp::base& link, const std::string& text) {
    link.send_queue_.insert(link.send_queue_.end(), text.begin(), text.end());
    link.flush();
}

}  // namespace replay::internet::transport
