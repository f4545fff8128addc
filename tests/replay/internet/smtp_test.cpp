#include "replay/internet/smtp/smtp.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

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
// reply. "<close>" ends the connection the orderly way at once; when the
// script has run out it sends nothing more. Either way it keeps reading
// until the client closes, and keeps everything the client sent. Its waits
// are bounded, so that a failing test ends.
class scripted_server {
public:
    explicit scripted_server(std::vector<std::string> script)
        : script_(std::move(script)), listener_(socket(AF_INET, SOCK_STREAM, 0)), where_("127.0.0.1", 0) {
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
        if (thread_.joinable()) thread_.join();
        closesocket(listener_);
    }

    const address::ip4& where() const { return where_; }

    // Everything the client sent, once it has closed the connection.
    std::string transcript() {
        if (thread_.joinable()) thread_.join();
        return transcript_;
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
            if (step > 0 && !await_client(message_follows)) return;
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

    const std::vector<std::string> script_;
    SOCKET listener_;
    address::ip4 where_;
    SOCKET peer_ = INVALID_SOCKET;
    std::string unread_;
    std::string transcript_;
    std::thread thread_;
};

const smtp::client installer("installer");
const std::string support = "support@zentrivo.example";
constexpr std::uint32_t timeout_seconds = 2;
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
};

outcome deliver(const std::vector<std::string>& script, const std::vector<std::string>& lines = message) {
    scripted_server server(script);
    std::string error = "delivered";
    try {
        smtp::send_mail(installer, server.where(), support, /*sender=*/"", lines, timeout_seconds);
    } catch (const std::exception& e) {
        error = e.what();
    }
    return {error, server.transcript()};
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
    std::vector<std::string> closes_after_dot = accepting();
    closes_after_dot.back() = "<close>";

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
        {"closed after the dot", closes_after_dot, "smtp.unreliable_delivery[recv() failed]", whole_dialogue},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        const outcome result = deliver(each.script);
        EXPECT_EQ(result.error, each.what);
        EXPECT_EQ(result.transcript, each.transcript);
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
