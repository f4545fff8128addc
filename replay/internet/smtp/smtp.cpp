#include "replay/internet/smtp/smtp.hpp"

#include <winsock2.h>

#include <limits>

#include "replay/log/log.hpp"

namespace replay::internet::smtp {

namespace {

constexpr int go_ahead = 354;  // the reply to DATA that asks for the message

// A message line holding CR or LF would end the line on the wire where the
// dot-stuffing cannot see it, and a "." after it would end the data early;
// such a line is sent as the lines that its CR, LF or CR LF separate.
std::vector<std::string> wire_lines(const std::string& line) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find_first_of("\r\n", start);
        if (end == std::string::npos) break;
        pieces.push_back(line.substr(start, end - start));
        start = end + 1;
        if (line[end] == '\r' && start < line.size() && line[start] == '\n') ++start;
    }
    pieces.push_back(line.substr(start));
    return pieces;
}

void queue_data_line(transport::tcp::base& link, const std::string& line) {
    transport::queue_line(link, !line.empty() && line[0] == '.' ? "." + line : line);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The code that begins a reply line, or 0 when the line does not begin with
// three digits that form a reply code: a peer that is not an SMTP server
// must not pass for one that accepted the mail.
int reply_code(const std::string& line) {
    if (line.size() < 3 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2])) return 0;
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    return code >= 100 && code <= 599 ? code : 0;
}

std::string read_reply_line(transport::tcp::base& link) {
    try {
        return transport::read_line(link, max_reply_line);
    } catch (const transport::line_too_long& overlong) {
        throw generic("Bad response: " + overlong.message());
    }
}

}  // namespace

int read_reply(transport::tcp::base& link, reply_lines& lines) {
    lines.clear();
    std::string line = read_reply_line(link);
    for (;;) {
        if (reply_code(line) == 0) throw generic("Bad response: " + line);
        if (line.size() == 3) break;
        lines.push_back(line.substr(4));
        const char separator = line[3];
        if (separator == ' ') break;
        if (separator != '-') throw generic("Invalid character: " + line);
        if (lines.size() > max_continuation_lines) throw generic("Excess response: " + line);
        line = read_reply_line(link);
    }
    const int code = reply_code(line);
    if (code >= 400 && code < 500) throw temporary_failure(line);
    if (code >= 500) throw permanent_failure(line);
    return code;
}

void send_command(transport::tcp::base& link, const std::string& command, reply_lines& lines) {
    transport::write_line(link, command);
    read_reply(link, lines);
}

void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const std::vector<std::string>& lines, time_limits limits) {
    send_mail(
        sender_client, server, recipient, sender,
        [&](const std::function<void(const std::string&)>& take) {
            for (const std::string& line : lines) take(line);
        },
        limits);
}

void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const line_source& lines, time_limits limits) {
    // A time-out too large for the option waits as long as the option can
    // say, rather than wrapping to a short one.
    constexpr std::uint32_t most_seconds = std::numeric_limits<DWORD>::max() / 1000;
    const auto milliseconds = [](std::uint32_t seconds) {
        return static_cast<DWORD>(seconds < most_seconds ? seconds : most_seconds) * 1000;
    };
    // The whole delivery counts from before the connect, whose own wait the
    // system bounds.
    const DWORD started = GetTickCount();
    transport::tcp::raw link;
    link.open(server);
    link.connect(server);
    const DWORD total_ms = milliseconds(limits.total_seconds);
    const DWORD connecting_ms = GetTickCount() - started;
    // Receives and sends both wait with a limit: a server that stops reading
    // would otherwise hold a send for good once the socket buffers are full.
    link.limit_waits(milliseconds(limits.each_seconds), connecting_ms < total_ms ? total_ms - connecting_ms : 0);

    reply_lines replies;
    read_reply(link, replies);
    try {
        send_command(link, "EHLO " + sender_client.name(), replies);
    } catch (const permanent_failure&) {
        // A server without ESMTP.
        send_command(link, "HELO " + sender_client.name(), replies);
    }

    try {
        send_command(link, "RSET", replies);
        send_command(link, "MAIL FROM: <" + sender + ">", replies);
        send_command(link, "RCPT TO: <" + recipient + ">", replies);
        transport::write_line(link, "DATA");
        // A server that keeps sending other accepted replies is not going to
        // take the message.
        std::size_t replies_read = 0;
        while (read_reply(link, replies) != go_ahead) {
            if (++replies_read > max_replies_per_command) {
                throw transport::tcp::base::connection_timed_out("recv() failed");
            }
        }
        lines([&](const std::string& line) {
            if (line.find_first_of("\r\n") == std::string::npos) {
                queue_data_line(link, line);
            } else {
                for (const std::string& piece : wire_lines(line)) queue_data_line(link, piece);
            }
        });
        send_command(link, ".", replies);
    } catch (const transport::generic& failure) {
        throw temporary_failure(failure.message());
    }

    // The message is accepted: the delivery has succeeded whatever QUIT
    // brings, so that nobody is invited to send it a second time.
    try {
        send_command(link, "QUIT", replies);
    } catch (const replay::exception& failure) {
        log::error("QUIT after the accepted message failed: %s", failure.what());
    }
}

}  // namespace replay::internet::smtp
