#pragma once
// A minimal SMTP client: delivers one serialised message to one recipient
// over plain TCP (greeting, EHLO or HELO, RSET, MAIL FROM, RCPT TO, DATA,
// the end-of-data dot, QUIT), without any ESMTP extension.
#include <cstdint>
#include <string>
#include <vector>

#include "replay/exception.hpp"
#include "replay/internet/address/address.hpp"
#include "replay/internet/transport/transport.hpp"

namespace replay::internet::smtp {

// A malformed reply: "Bad response: ", "Invalid character: " or
// "Excess response: " followed by the offending line.
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "smtp");
// A 4xx reply (the message is its last line), or a transport error during the
// mail transaction (the message is the transport error's message).
REPLAY_DECLARE_EXCEPTION(temporary_failure, generic, "temporary_failure");
// A 5xx reply; the message is its last line.
REPLAY_DECLARE_EXCEPTION(permanent_failure, generic, "permanent_failure");
// A transport error during QUIT, after the message was accepted; the message
// is the transport error's message.
REPLAY_DECLARE_EXCEPTION(unreliable_delivery, generic, "unreliable_delivery");

// The texts of one reply's lines after their code and separator.
using reply_lines = std::vector<std::string>;

// Most continuation lines one reply may have before its last line.
constexpr std::size_t max_continuation_lines = 128;

class client {
public:
    // `name` is what EHLO and HELO announce.
    explicit client(std::string name) : name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

// Delivers `lines` (the message, one line each, without terminators) from
// `sender` (may be empty) to `recipient` through the server at `server`, on
// one connection of its own. Each receive waits at most `timeout_seconds`;
// sends and the connect have the system's time-outs. Lines that begin with
// "." get one more "."; a line holding CR or LF is sent as the several lines
// they separate.
//
// Raises, by phase:
// - connecting and the greeting, EHLO, HELO: the transport and environment
//   errors unchanged; a 5xx reply to EHLO is followed by one HELO;
// - RSET to the end-of-data reply: transport errors become temporary_failure
//   with the transport error's message;
// - QUIT: transport errors become unreliable_delivery with their message;
// - any phase: generic, temporary_failure and permanent_failure for the
//   replies, as read_reply raises them.
void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const std::vector<std::string>& lines, std::uint32_t timeout_seconds);

// Reads one complete reply and returns its code (the value of the first three
// characters of its last line, read as strtol reads base 10). `lines` is
// emptied first and then holds each line's text from its fifth character on.
// Raises generic "Bad response: " + line for a line shorter than 3
// characters, "Invalid character: " + line when the fourth character is
// neither a blank nor "-", "Excess response: " + line for a continuation line
// past max_continuation_lines; temporary_failure or permanent_failure with the
// last line when it starts with "4" or "5"; transport errors unchanged.
int read_reply(transport::tcp::base& link, reply_lines& lines);

// Writes `command` with CR LF and reads its reply; any reply read_reply
// accepts counts as success.
void send_command(transport::tcp::base& link, const std::string& command, reply_lines& lines);

}  // namespace replay::internet::smtp
