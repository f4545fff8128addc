// Peak memory of the log submission for a large log.
//
//   bench_log_submission.exe [MB] [--whole]     (default: 100 MB, streamed)
//
// Writes a log of MB mebibytes as the program writes its own (UTF-8 with a
// byte order mark, prefixed lines), reads and mails it as the submission
// does to an SMTP sink on 127.0.0.1 that only counts what it receives, and
// prints the log size, the peak working set of the process before and after,
// and the time taken. (Wine's peak private bytes do not count the heap, so
// the working set is the figure.) With --whole the mail is
// sent the way a whole-text submission would: the log as wide text, the
// body encoded at once and every line listed before the first is sent; it
// is there to compare with. Run each way in a process of its own: peaks
// never go down.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "remover/log_submission/log_submission.hpp"
#include "replay/handle.hpp"
#include "replay/internet/address/address.hpp"
#include "replay/internet/environment/environment.hpp"
#include "replay/internet/smtp/smtp.hpp"

namespace {

namespace message2 = replay::internet::message2;

constexpr double mebibyte = 1024.0 * 1024.0;

double peak_working_set_mb() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / mebibyte;
}

// A log of about `size` bytes, written a line at a time so that the writing
// itself holds little.
bool write_log(const std::string& path, std::size_t size) {
    const replay::file_handle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string chunk = "\xEF\xBB\xBF";
    std::size_t written = 0;
    char line[160];
    for (unsigned n = 0; written < size; ++n) {
        const int length = std::snprintf(line, sizeof(line),
                                         "2026/12/08 20:%02u:%02u    Removed C:\\Program Files\\Vexars\\Zentrivo\\"
                                         "data\\item%07u.dat (J\xC3\xBCrgen)\r\n",
                                         n / 60 % 60, n % 60, n);
        chunk.append(line, static_cast<std::size_t>(length));
        if (chunk.size() >= 1 << 20 || written + chunk.size() >= size) {
            DWORD done = 0;
            WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &done, nullptr);
            written += chunk.size();
            chunk.clear();
        }
    }
    return true;
}

// An SMTP server for one client that accepts everything and counts the
// message's bytes.
class sink {
public:
    sink() : listener_(socket(AF_INET, SOCK_STREAM, 0)), where_("127.0.0.1", 0) {
        int length = where_.length();
        bind(listener_.get(), where_.get(), length);
        listen(listener_.get(), 1);
        getsockname(listener_.get(), where_.get(), &length);
        thread_ = std::thread([this] { serve(); });
    }
    ~sink() {
        if (thread_.joinable()) thread_.join();
    }
    const replay::internet::address::ip4& where() const { return where_; }
    unsigned long long message_bytes() {
        if (thread_.joinable()) thread_.join();
        return message_bytes_;
    }

private:
    void serve() {
        const replay::socket_handle accepted(accept(listener_.get(), nullptr, nullptr));
        const SOCKET peer = accepted.get();
        const DWORD wait_ms = 60000;
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof(wait_ms));
        say(peer, "220 sink\r\n");
        std::string unread;
        bool in_data = false;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const int count = recv(peer, buffer.data(), static_cast<int>(buffer.size()), 0);
            if (count <= 0) break;
            unread.append(buffer.data(), static_cast<std::size_t>(count));
            std::size_t end;
            while ((end = unread.find("\r\n")) != std::string::npos) {
                const std::string line = unread.substr(0, end);
                unread.erase(0, end + 2);
                if (in_data) {
                    if (line == ".") {
                        in_data = false;
                        say(peer, "250 queued\r\n");
                    } else {
                        message_bytes_ += line.size() + 2;
                    }
                } else if (line == "DATA") {
                    in_data = true;
                    say(peer, "354 go ahead\r\n");
                } else if (line == "QUIT") {
                    say(peer, "221 bye\r\n");
                } else {
                    say(peer, "250 ok\r\n");
                }
            }
        }
    }

    static void say(SOCKET peer, const char* text) { send(peer, text, static_cast<int>(std::strlen(text)), 0); }

    replay::socket_handle listener_;
    replay::internet::address::ip4 where_;
    std::thread thread_;
    unsigned long long message_bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = 100;
    bool whole = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--whole") == 0) {
            whole = true;
        } else {
            megabytes = std::strtoul(argv[i], nullptr, 10);
        }
    }
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string path = std::string(temp) + "bench_log_submission.log.txt";
    if (!write_log(path, megabytes << 20)) {
        std::printf("cannot write %s\n", path.c_str());
        return 1;
    }

    const replay::internet::environment::startup winsock;
    const double before = peak_working_set_mb();
    const auto started = std::chrono::steady_clock::now();
    sink server;
    try {
        message2::message mail;
        replay::file_handle file;
        if (remover::log_mail::build("2.1.5", path, mail, file) != remover::log_mail::state::ready) {
            std::printf("the log was not read\n");
            return 1;
        }
        mail.set_header("From", "<bench@example.org>");
        const replay::internet::smtp::time_limits limits(60, 3600);
        if (whole) {
            // Whole text, whole encoding, every line listed first.
            mail.set_text(remover::log_mail::text(mail.body_part.encoded_text));
            const std::vector<std::string> lines = message2::to_lines(mail);
            replay::internet::smtp::send_mail(replay::internet::smtp::client("installer"), server.where(),
                                              "support@example.org", "", lines, limits);
        } else {
            remover::log_mail::send(mail, server.where(), limits);
        }
    } catch (const std::exception& error) {
        std::printf("failed: %s\n", error.what());
        return 1;
    }
    const unsigned long long sent = server.message_bytes();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double after = peak_working_set_mb();
    DeleteFileA(path.c_str());

    const double log_mb = static_cast<double>(megabytes);
    std::printf("%s: log %.0f MiB, message %.1f MiB sent in %.1f s\n", whole ? "whole" : "streamed", log_mb,
                static_cast<double>(sent) / mebibyte, seconds);
    std::printf("peak working set %.1f MiB before, %.1f MiB after: %.2f x the log more\n", before, after,
                (after - before) / log_mb);
    return 0;
}
