#include "replay/internet/smtp/smtp.hpp"

#include <winsock2.h>

#include <cstdlib>
#include <limits>

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

void write_data_line(transport::tcp::base& link, const std::string& line) {
    if (!line.empty() && line[0] == '.') transport::write_bytes(link, ".");
    transport::write_line(link, line);
}

}  // namespace

int read_reply(transport::tcp::base& link, reply_lines& lines) {
    lines.clear();
    std::string line = transport::read_line(link);
    for (;;) {
        if (line.size() < 3) throw generic("Bad response: " + line);
        if (line.size() == 3) break;
        lines.push_back(line.substr(4));
        const char separator = line[3];
        if (separator == ' ') break;
        if (separator != '-') throw generic("Invalid character: " + line);
        if (lines.size() > max_continuation_lines) throw generic("Excess response: " + line);
        line = transport::read_line(link);
    }
    if (line[0] == '4') throw temporary_failure(line);
    if (line[0] == '5') throw permanent_failure(line);
    return static_cast<int>(std::strtol(line.substr(0, 3).c_str(), nullptr, 10));
}

void send_command(transport::tcp::base& link, const std::string& command, reply_lines& lines) {
    transport::write_line(link, command);
    read_reply(link, lines);
}

void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const std::vector<std::string>& lines, std::uint32_t timeout_seconds) {
    transport::tcp::raw link;
    link.open(server);
    link.connect(server);

    // Only receives wait with a limit. A time-out too large for the option
    // waits as long as the option can say, rather than wrapping to a short one.
    constexpr std::uint32_t most_seconds = std::numeric_limits<DWORD>::max() / 1000;
    const DWORD timeout_ms = (timeout_seconds < most_seconds ? timeout_seconds : most_seconds) * 1000;
    static_assert(sizeof(timeout_ms) == 4);
    link.set_option(SOL_SOCKET, SO_RCVTIMEO, &timeout_ms, sizeof(timeout_ms));

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
        while (read_reply(link, replies) != go_ahead) {
        }
        for (const std::string& line : lines) {
            if (line.find_first_of("\r\n") == std::string::npos) {
                write_data_line(link, line);
            } else {
                for (const std::string& piece : wire_lines(line)) write_data_line(link, piece);
            }
        }
        send_command(link, ".", replies);
    } catch (const transport::generic& failure) {
        throw temporary_failure(failure.message());
    }

    // The message is accepted; a connection lost now leaves it unknown
    // whether the server keeps it.
    try {
        send_command(link, "QUIT", replies);
    } catch (const transport::generic& failure) {
        throw unreliable_delivery(failure.message());
    }
}

}  // namespace replay::internet::smtp
