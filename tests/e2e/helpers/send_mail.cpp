// send_mail: delivers one mail with the program's own mail library, for the
// tests that check what a real SMTP server receives.
//
//   send_mail.exe HOST PORT FROM TO SUBJECT TEXT-FILE ENCODING
//
// SUBJECT is UTF-16 on the command line; TEXT-FILE holds the body as UTF-8,
// sent in UTF-8 with the transfer encoding ENCODING ("base64",
// "quoted-printable" or "8bit"). Exits with 0 once the server accepted the
// mail; otherwise prints the error's what() text and exits with 1.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "helper_output.hpp"
#include "replay/internet/address/address.hpp"
#include "replay/internet/environment/environment.hpp"
#include "replay/internet/message2/message2.hpp"
#include "replay/internet/smtp/smtp.hpp"
#include "replay/unicode/unicode.hpp"

namespace message2 = replay::internet::message2;

int wmain(int argc, wchar_t** argv) {
    if (argc != 8) return 2;
    const auto narrow = [](const wchar_t* text) { return helper::to_utf8(text); };
    try {
        std::ifstream file(argv[6], std::ios::binary);
        const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

        message2::message mail;
        mail.remove_header("Content-Transfer-Encoding");
        mail.set_header("Content-Transfer-Encoding", narrow(argv[7]));
        message2::header_type::unstructured_value_type subject(argv[5]);
        subject.set_charset("utf-8");
        mail.set_header("Subject", subject);
        mail.set_header("To", narrow(argv[4]));
        mail.set_header("From", narrow(argv[3]));
        mail.body_part.charset = "utf-8";
        mail.set_text(replay::unicode::to_wide(body, CP_UTF8));

        replay::internet::environment::startup sockets;
        const replay::internet::address::ip4 server(narrow(argv[1]),
                                                    static_cast<std::uint16_t>(std::wcstoul(argv[2], nullptr, 10)));
        replay::internet::smtp::send_mail(replay::internet::smtp::client("installer"), server, narrow(argv[4]),
                                          narrow(argv[3]), message2::to_lines(mail), 10);
        return 0;
    } catch (const std::exception& error) {
        helper::write_stdout(std::string(error.what()) + "\n");
        return 1;
    }
}
