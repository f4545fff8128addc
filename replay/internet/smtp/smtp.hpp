#pragma once
// A minimal SMTP client: delivers one serialised message to one recipient
// over plain TCP (greeting, EHLO or HELO, RSET, MAIL FROM, RCPT TO, DATA,
// the end-of-data dot, QUIT), without any ESMTP extension.
#include <cstdint>
#include <functional>
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

// The texts of one reply's lines after their code and separator.
using reply_lines = std::vector<std::string>;

// Most continuation lines one reply may have before its last line.
constexpr std::size_t max_continuation_lines = 128;
// Longest reply line read; a longer one is a malformed reply. The standard
// allows 512 octets.
constexpr std::size_t max_reply_line = 4096;
// Most replies read for one command (DATA, whose 354 may follow other
// accepted replies) before the server counts as not answering.
constexpr std::size_t max_replies_per_command = 16;

// Hands each message line, in order, to the function it is given.
using line_source = std::function<void(const std::function<void(const std::string&)>&)>;

// The limits of one delivery. A number alone is the wait for each receive
// and send, with five minutes for the whole delivery.
struct time_limits {
    constexpr time_limits(std::uint32_t each, std::uint32_t total = 300) : each_seconds(each), total_seconds(total) {}

    std::uint32_t each_seconds;   // each receive and each send
    std::uint32_t total_seconds;  // the whole delivery, from the connect on
};

class client {
public:
    // `name` is what EHLO and HELO announce.
    explicit client(std::string name) : name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

// Delivers the message whose lines `lines` gives (one line each, without
// terminators) from `sender` (may be empty) to `recipient` through the server
// at `server`, on one connection of its own. Each receive and each send waits
// at most `limits.each_seconds`, and the whole delivery ends after
// `limits.total_seconds` (the connect has the system's time-out). Lines that
// begin with "." get one more "."; a line holding CR or LF is sent as the
// several lines they separate.
//
// Raises, by phase:
// - connecting and the greeting, EHLO, HELO: the transport and environment
//   errors unchanged (an exhausted total is connection_timed_out); a 5xx
//   reply to EHLO is followed by one HELO;
// - RSET to the end-of-data reply: transport errors become temporary_failure
//   with the transport error's message; more than max_replies_per_command
//   replies to DATA without a 354 count as a receive time-out;
// - QUIT: nothing; the message is accepted, so a failure is only logged;
// - any phase: generic, temporary_failure and permanent_failure for the
//   replies, as read_reply raises them.
void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const line_source& lines, time_limits limits);
// The same for lines held in a list.
void send_mail(const client& sender_client, const address::base& server, const std::string& recipient,
               const std::string& sender, const std::vector<std::string>& lines, time_limits limits);

// Reads one complete reply and returns its code (the three digits that begin
// its last line). `lines` is emptied first and then holds each line's text
// from its fifth character on. Raises generic "Bad response: " + line for a
// line shorter than 3 characters or one that does not begin with a code from
// 100 to 599, "Bad response: line longer than 4096 bytes" for a line longer
// than max_reply_line, "Invalid character: " + line when the fourth character
// is neither a blank nor "-", "Excess response: " + line for a continuation
// line past max_continuation_lines; temporary_failure or permanent_failure
// with the last line when its code is 4xx or 5xx; transport errors unchanged.
int read_reply(transport::tcp::base& link, reply_lines& lines);

// Writes `command` with CR LF and reads its reply; any reply read_reply
// accepts counts as success.
void send_command(transport::tcp::base& link, const std::string& command, reply_lines& lines);

}  // namespace replay::internet::smtp
