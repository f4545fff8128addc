#include "replay/internet/smtp/smtp.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "replay/internet/address/address.hpp"
#include "replay/internet/environment/environment.hpp"
#include "replay/internet/transport/transport.hpp"
#include "support/emulation.hpp"

namespace {

namespace address = replay::internet::address;
namespace smtp = replay::internet::smtp;
namespace transport = replay::internet::transport;

// An SMTP server on 127.0.0.1 for one client, on a thread of its own. It
// sends the script's first reply at once and each later one after the
// client's next command, or after the whole message once it has sent a 354
// reply. "<close>" ends the connection the orderly way at once; "<stall>"
// stops reading (and sending) until the client is done; "<repeat>" followed
// by a text sends that text every 100 ms, after the client's next command,
// until the client is done. When the script has run out it sends nothing
// more. Then it keeps reading until the client closes,
// and keeps everything the client sent. Its waits are bounded, so that a
// failing test ends; outlasted() tells whether a stall or repeat ran into
// that bound before the client was done.
class scripted_server {
public:
    explicit scripted_server(std::vector<std::string> script)
        : script_(std::move(script)), listener_(socket(AF_INET, SOCK_STREAM, 0)), where_("127.0.0.1", 0),
          client_done_(CreateEventA(nullptr, /*manual_reset=*/TRUE, /*initial=*/FALSE, nullptr)) {
        int length = where_.length();
        EXPECT_EQ(bind(listener_, where_.get(), length), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        EXPECT_EQ(getsockname(listener_, where_.get(), &length), 0);
        thread_ = std::thread([this] {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener_, &ready);
            timeval limit = {10, 0};
            if (select(0, &ready, nullptr, nullptr, &limit) != 1) return;
            peer_ = accept(listener_, nullptr, nullptr);
            const DWORD wait_ms = 10000;
            setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof(wait_ms));
            play();
            while (receive()) {
            }
            closesocket(peer_);
        });
    }
    ~scripted_server() {
        client_is_done();
        if (thread_.joinable()) thread_.join();
        closesocket(listener_);
        CloseHandle(client_done_);
    }

    const address::ip4& where() const { return where_; }

    // Ends a stall or a trickle: the client has given up or finished.
    void client_is_done() { SetEvent(client_done_); }

    // Everything the client sent, once it has closed the connection.
    std::string transcript() {
        client_is_done();
        if (thread_.joinable()) thread_.join();
        return transcript_;
    }

    bool outlasted() {
        transcript();
        return outlasted_;
    }

private:
    void play() {
        bool message_follows = false;
        for (std::size_t step = 0; step < script_.size(); ++step) {
            const std::string& reply = script_[step];
            if (reply == "<close>") {
                shutdown(peer_, SD_SEND);
                return;
            }
            if (reply == "<stall>") {
                outlasted_ = WaitForSingleObject(client_done_, bound_ms) == WAIT_TIMEOUT;
                return;
            }
            if (step > 0 && !await_client(message_follows)) return;
            if (reply.compare(0, repeat.size(), repeat) == 0) {
                outlasted_ = true;
                for (DWORD waited = 0; waited < bound_ms; waited += 100) {
                    send(peer_, reply.data() + repeat.size(), static_cast<int>(reply.size() - repeat.size()), 0);
                    if (WaitForSingleObject(client_done_, 100) == WAIT_OBJECT_0) {
                        outlasted_ = false;
                        break;
                    }
                }
                return;
            }
            send(peer_, reply.data(), static_cast<int>(reply.size()), 0);
            message_follows = reply.compare(0, 3, "354") == 0 || reply.find("\n354") != std::string::npos;
        }
    }

    // Reads the client's next command, or the whole message after a 354.
    bool await_client(bool message_follows) {
        std::string line;
        do {
            std::size_t end;
            while ((end = unread_.find('\n')) == std::string::npos) {
                if (!receive()) return false;
            }
            line = unread_.substr(0, end + 1);
            unread_.erase(0, end + 1);
        } while (message_follows && line != ".\r\n");
        return true;
    }

    bool receive() {
        char buffer[512];
        const int count = recv(peer_, buffer, sizeof(buffer), 0);
        if (count <= 0) return false;
        unread_.append(buffer, static_cast<size_t>(count));
        transcript_.append(buffer, static_cast<size_t>(count));
        return true;
    }

    static constexpr DWORD bound_ms = 30000;
    const std::string repeat = "<repeat>";

    const std::vector<std::string> script_;
    SOCKET listener_;
    address::ip4 where_;
    const HANDLE client_done_;
    bool outlasted_ = false;
    SOCKET peer_ = INVALID_SOCKET;
    std::string unread_;
    std::string transcript_;
    std::thread thread_;
};

const smtp::client installer("installer");
const std::string support = "support@zentrivo.example";
// Each wait 2 s, the whole delivery 30 s.
constexpr smtp::time_limits limits = {2, 30};
const std::vector<std::string> message = {"Subject: test", "", "body"};

// What the client sends, piece by piece.
const std::string ehlo = "EHLO installer\r\n";
const std::string helo = "HELO installer\r\n";
const std::string rset = "RSET\r\n";
const std::string mail_from = "MAIL FROM: <>\r\n";
const std::string rcpt_to = "RCPT TO: <support@zentrivo.example>\r\n";
const std::string data = "DATA\r\n";
const std::string sent_message = "Subject: test\r\n\r\nbody\r\n.\r\n";
const std::string quit = "QUIT\r\n";
const std::string whole_dialogue = ehlo + rset + mail_from + rcpt_to + data + sent_message + quit;

std::vector<std::string> accepting(const std::string& end = "\r\n") {
    return {"220 mail ready" + end, "250 hello" + end,    "250 reset" + end,   "250 sender ok" + end,
            "250 recipient ok" + end, "354 go ahead" + end, "250 queued" + end, "221 bye" + end};
}

std::string continued_greeting(int continuation_lines) {
    std::string reply;
    for (int i = 1; i <= continuation_lines; ++i) reply += "220-line " + std::to_string(i) + "\r\n";
    return reply + "220 ready\r\n";
}

struct outcome {
    std::string error;  // what(), or "delivered"
    std::string transcript;
    bool server_outlasted;  // a stall or repeat ran into its bound first
};

outcome deliver(const std::vector<std::string>& script, const smtp::line_source& lines,
                smtp::time_limits with = limits) {
    scripted_server server(script);
    std::string error = "delivered";
    try {
        smtp::send_mail(installer, server.where(), support, /*sender=*/"", lines, with);
    } catch (const std::exception& e) {
        error = e.what();
    }
    server.client_is_done();
    return {error, server.transcript(), server.outlasted()};
}

outcome deliver(const std::vector<std::string>& script, const std::vector<std::string>& lines = message) {
    return deliver(script, [&](const std::function<void(const std::string&)>& take) {
        for (const std::string& line : lines) take(line);
    });
}

class Smtp : public ::testing::Test {
protected:
    void SetUp() override { SKIP_THREADS_WHERE_EMULATED(); }

    replay::internet::environment::startup winsock;
};

TEST_F(Smtp, DeliversThroughEachKindOfServer) {
    std::vector<std::string> ehlo_refused = accepting();
    ehlo_refused[1] = "502 command not implemented\r\n";
    ehlo_refused.insert(ehlo_refused.begin() + 2, "250 hello\r\n");
    std::vector<std::string> early_reply_to_data = accepting();
    early_reply_to_data[5] = "250 odd\r\n354 go ahead\r\n";
    std::vector<std::string> long_greeting = accepting();
    long_greeting[0] = continued_greeting(128);
    // Once the message is accepted, what QUIT brings does not undo it.
    std::vector<std::string> quit_refused = accepting();
    quit_refused.back() = "554 no quitting\r\n";
    std::vector<std::string> closes_after_dot = accepting();
    closes_after_dot.back() = "<close>";

    struct row {
        const char* name;
        std::vector<std::string> script;
        std::vector<std::string> lines;
        std::string transcript;
    };
    const row rows[] = {
        {"plain", accepting(), message, whole_dialogue},
        {"lone LF line ends", accepting("\n"), message, whole_dialogue},
        {"HELO after EHLO 5xx", ehlo_refused, message,
         ehlo + helo + rset + mail_from + rcpt_to + data + sent_message + quit},
        {"2xx before 354", early_reply_to_data, message, whole_dialogue},
        {"128 continuation lines", long_greeting, message, whole_dialogue},
        {"QUIT 5xx", quit_refused, message, whole_dialogue},
        {"closed after the dot", closes_after_dot, message, whole_dialogue},
        {"dot-stuffing", accepting(), {".", ".hidden", "plain.", "", "split\n.\r\nline"},
         ehlo + rset + mail_from + rcpt_to + data + "..\r\n..hidden\r\nplain.\r\n\r\nsplit\r\n..\r\nline\r\n.\r\n" +
             quit},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        const outcome result = deliver(each.script, each.lines);
        EXPECT_EQ(result.error, "delivered");
        EXPECT_EQ(result.transcript, each.transcript);
    }
}

TEST_F(Smtp, EachFailureAsTheUserSeesIt) {
    std::vector<std::string> not_smtp_after_dot = accepting();
    not_smtp_after_dot[6] = "+OK queued\r\n";
    const std::string long_text(5000, 'x');
    const char* const overlong = "smtp[Bad response: line longer than 4096 bytes]";
    const std::string transaction = ehlo + rset + mail_from + rcpt_to + data;

    struct row {
        const char* name;
        std::vector<std::string> script;
        const char* what;
        std::string transcript;
    };
    const row rows[] = {
        {"4xx greeting", {"421 busy\r\n"}, "smtp.temporary_failure[421 busy]", ""},
        {"5xx greeting", {"554 no service\r\n"}, "smtp.permanent_failure[554 no service]", ""},
        {"EHLO 4xx, no HELO", {"220 ready\r\n", "421 later\r\n"}, "smtp.temporary_failure[421 later]", ehlo},
        {"RCPT TO 5xx",
         {"220 ready\r\n", "250 hello\r\n", "250 reset\r\n", "250 sender ok\r\n", "550 5.1.1 no such user\r\n"},
         "smtp.permanent_failure[550 5.1.1 no such user]",
         ehlo + rset + mail_from + rcpt_to},
        {"line of two characters", {"22\r\n"}, "smtp[Bad response: 22]", ""},
        {"fourth character", {"220+ready\r\n"}, "smtp[Invalid character: 220+ready]", ""},
        {"129 continuation lines", {continued_greeting(129)}, "smtp[Excess response: 220-line 129]", ""},
        {"silent greeting", {}, "internet.transport.connection_failed.connection_timed_out[recv() failed]", ""},
        {"silent in the transaction", {"220 ready\r\n", "250 hello\r\n"}, "smtp.temporary_failure[recv() failed]",
         ehlo + rset},
        {"HELO 4xx after EHLO 5xx", {"220 ready\r\n", "502 no\r\n", "421 later\r\n"},
         "smtp.temporary_failure[421 later]", ehlo + helo},
        {"HELO 5xx after EHLO 5xx", {"220 ready\r\n", "502 no\r\n", "550 go away\r\n"},
         "smtp.permanent_failure[550 go away]", ehlo + helo},
        {"closed in the transaction", {"220 ready\r\n", "250 hello\r\n", "250 reset\r\n", "<close>"},
         "smtp.temporary_failure[recv() failed]", ehlo + rset + mail_from},
        // A peer that is not an SMTP server never passes for one.
        {"letters for a code", {"abc ok\r\n"}, "smtp[Bad response: abc ok]", ""},
        {"+OK for a code", {"+OK ready\r\n"}, "smtp[Bad response: +OK ready]", ""},
        {"code above 599", {"600 ready\r\n"}, "smtp[Bad response: 600 ready]", ""},
        {"code below 100", {"099 ready\r\n"}, "smtp[Bad response: 099 ready]", ""},
        {"4 and letters", {"4xx busy\r\n"}, "smtp[Bad response: 4xx busy]", ""},
        {"code in a continuation line", {"2x0-hello\r\n220 ready\r\n"}, "smtp[Bad response: 2x0-hello]", ""},
        {"+OK to the dot", not_smtp_after_dot, "smtp[Bad response: +OK queued]", transaction + sent_message},
        {"overlong line", {"220 " + long_text + "\r\n"}, overlong, ""},
        {"no line end at all", {"220 " + long_text}, overlong, ""},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        const outcome result = deliver(each.script);
        EXPECT_EQ(result.error, each.what);
        EXPECT_EQ(result.transcript, each.transcript);
    }
}

// A server that holds the client without ever refusing: the client gives up
// on its own limits, long before the server's bound would end the dialogue.
TEST_F(Smtp, ServersThatHoldTheClientAreLeft) {
    std::vector<std::string> stops_reading = accepting();
    stops_reading[6] = "<stall>";
    std::vector<std::string> chatters_instead_of_354 = accepting();
    chatters_instead_of_354[5] = "<repeat>250 still here\r\n";
    // About 38 MB: more than the socket buffers of both ends hold.
    const smtp::line_source big_message = [](const std::function<void(const std::string&)>& take) {
        const std::string line(76, 'A');
        for (int i = 0; i < 500000; ++i) take(line);
    };
    struct row {
        const char* name;
        std::vector<std::string> script;
        smtp::time_limits limits;
        const char* what;
    };
    const row rows[] = {
        {"stops reading during DATA", stops_reading, limits, "smtp.temporary_failure[send() failed]"},
        // Each byte comes well within the receive time-out; only the whole
        // delivery's limit ends it.
        {"trickles bytes", {"<repeat>2"}, {2, 3},
         "internet.transport.connection_failed.connection_timed_out[recv() failed]"},
        // Accepted replies to DATA, none of them the 354 that asks for the
        // message: only so many are read, long before the whole delivery's
        // limit (here beyond the server's bound) would end it.
        {"other replies to DATA without end", chatters_instead_of_354, {2, 60},
         "smtp.temporary_failure[recv() failed]"},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        const outcome result = deliver(each.script, big_message, each.limits);
        EXPECT_EQ(result.error, each.what);
        EXPECT_FALSE(result.server_outlasted);
    }
}

TEST_F(Smtp, ReadReplyKeepsTheTextsAfterTheCodes) {
    scripted_server server({"250-first\r\n250-\r\n251 last\r\n250\r\n"});
    transport::tcp::raw link;
    link.open(server.where());
    link.connect(server.where());
    smtp::reply_lines lines = {"left over"};
    EXPECT_EQ(smtp::read_reply(link, lines), 251);
    EXPECT_EQ(lines, (smtp::reply_lines{"first", "", "last"}));
    EXPECT_EQ(smtp::read_reply(link, lines), 250);
    EXPECT_TRUE(lines.empty());
}

}  // namespace
