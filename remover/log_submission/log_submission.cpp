#include "remover/log_submission/log_submission.hpp"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "remover/common/session.hpp"
#include "remover/common/windows_version.hpp"
#include "remover/log_submission/mail_settings.hpp"
#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/internet/address/address.hpp"
#include "replay/internet/environment/environment.hpp"
#include "replay/internet/smtp/smtp.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace message2 = replay::internet::message2;

REPLAY_DECLARE_EXCEPTION(prompt_error, replay::exception, "prompt");

constexpr char log_suffix[] = ".log.txt";
constexpr char mail_caption_failed[] = "Log file not submitted";
constexpr char log_too_large_text[] = "The log file is too large: there is not enough memory to read it for sending.";
constexpr char no_sender_text[] = "Log file can't be sent without a sender";
constexpr std::uint16_t smtp_port = 25;
// Each receive and send waits at most 30 s; the whole delivery at most five
// minutes, however the server paces its bytes.
constexpr replay::internet::smtp::time_limits delivery_limits(30, 300);
// Longest error text shown in a box; a server's reply can be kilobytes long.
constexpr std::size_t shown_error_length = 300;

// The prompt window.
constexpr char prompt_class[] = "InputBox";
constexpr int prompt_width = 300;
constexpr int prompt_height = 200;
constexpr int label_id = 127;
constexpr int edit_id = 101;

std::string subject_line(const std::string& version_string) {
    const OSVERSIONINFOA info = os_version();
    const int major = static_cast<int>(info.dwMajorVersion);
    const int minor = static_cast<int>(info.dwMinorVersion);
    if (!version_string.empty())
        return replay::format("ZNVRemover.exe log ZNV:%s  OS:%i.%i", version_string.c_str(), major,
                              minor);
    return replay::format("ZNVRemover.exe log ZNV:NUL  OS:%i.%i", major, minor);
}

// The subject as header text. The version comes from the registry: a line
// break in it would end the header and start others, so the text goes
// through the header encoding, which writes such characters as an encoded
// word; plain ASCII stays as it is.
std::string subject_header(const std::string& version_string) {
    const std::string subject = subject_line(version_string);
    std::wstring wide;
    try {
        wide = replay::unicode::to_wide(subject, replay::unicode::ansi);
    } catch (const replay::unicode::generic&) {
        wide = replay::unicode::to_wide(subject, replay::unicode::latin1);
    }
    message2::header_type::unstructured_value_type value(wide);
    value.set_charset("utf-8");
    return value.serialize();
}

// An error text as a box can show it.
std::string shown_error(const std::string& text) {
    if (text.size() <= shown_error_length) return text;
    return text.substr(0, shown_error_length) + "...";
}

void create_child(HWND parent, const char* window_class, const char* text, DWORD style, int x,
                  int y, int width, int height, int id) {
    const HWND child = CreateWindowExA(0, window_class, text, WS_CHILD | WS_VISIBLE | style, x, y,
                                       width, height, parent,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                       GetModuleHandleA(nullptr), nullptr);
    if (child) {
        ShowWindow(child, SW_SHOWNORMAL);
        UpdateWindow(child);
    }
}

LRESULT CALLBACK prompt_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        create_child(window, "STATIC", "Enter your e-mail address", 0, 8, 30, 270, 25, label_id);
        create_child(window, "EDIT", "", WS_BORDER, 8, 60, 270, 25, edit_id);
        create_child(window, "BUTTON", "Ok", BS_DEFPUSHBUTTON, 28, 110, 100, 25, IDOK);
        create_child(window, "BUTTON", "Cancel", BS_DEFPUSHBUTTON, 162, 110, 100, 25, IDCANCEL);
        return 0;
    case WM_COMMAND:
        if (wparam == IDOK) {
            // The buffer is stored right after creation; no command comes before.
            if (auto* buffer = reinterpret_cast<char*>(GetWindowLongPtrA(window, 0)))
                GetDlgItemTextA(window, edit_id, buffer, email_buffer_size);
            PostQuitMessage(1);
        } else if (wparam == IDCANCEL) {
            PostQuitMessage(0);
        }
        return 0;
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

// Runs steps that talk to the user and the server; every error of the
// program's family or the standard one is shown in a box.
void send_log(message2::message& mail, const std::string& sender_from_suite) {
    std::string sender = sender_from_suite;
    // A stored address holding a line break or another control character
    // would write headers of its own: the user is asked instead.
    if (!sender.empty() && !log_mail::usable_sender(sender)) sender.clear();
    if (sender.empty()) {
        for (;;) {
            char email_buffer[email_buffer_size] = {};
            if (prompt_for_email(email_buffer) != 1) {
                message_box(no_sender_text, mail_caption_failed, MB_OK);
                return;
            }
            sender = email_buffer;
            if (log_mail::usable_sender(sender)) break;
            message_box(no_sender_text, mail_caption_failed, MB_OK);
        }
    }
    mail.set_header("From", "<" + sender + ">");

    // Ends Windows Sockets on every way out of this block.
    replay::internet::environment::startup sockets;
    const replay::internet::address::ip4 server(mail_host(), smtp_port);
    log_mail::send(mail, server, delivery_limits);
    message_box("Thank you. The log file has been submitted.", "Log file submitted", MB_OK);
}

}  // namespace

namespace log_mail {

bool usable_sender(const std::string& sender) {
    const bool control = std::any_of(sender.begin(), sender.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    return !control && sender.find('@') != std::string::npos;
}

void send(const message2::message& mail, const replay::internet::address::base& server,
          replay::internet::smtp::time_limits limits) {
    const replay::internet::smtp::client client("installer");
    replay::internet::smtp::send_mail(
        client, server, support_address(), "",
        [&](const message2::line_sink& take) { message2::for_each_line(mail, take); }, limits);
}

bool has_utf8_mark(const std::string& bytes) { return bytes.compare(0, 3, "\xEF\xBB\xBF") == 0; }

std::wstring text(const std::string& bytes) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (has_utf8_mark(bytes)) return replay::unicode::to_wide(bytes, CP_UTF8);
    if (byte(0) == 0xFF || byte(0) == 0xFE || byte(0) == 0x00 || byte(1) == 0x00) {
        std::wstring wide(bytes.size() / 2, L'\0');
        std::memcpy(wide.data(), bytes.data(), wide.size() * sizeof(wchar_t));
        return wide;
    }
    return replay::unicode::to_wide(bytes, CP_ACP);
}

state build(const std::string& version_string, const std::string& log_path,
            message2::message& mail, replay::file_handle& file, const replay::log::file_identity& written) {
    mail.remove_header("Content-Transfer-Encoding");
    mail.set_header("Content-Transfer-Encoding", "base64");
    mail.set_header("To", std::string("\"Remove-support mails\" <") + support_address() + ">");
    mail.body_part.charset = "utf-8";
    mail.set_header("Subject", subject_header(version_string));

    // A link or another file put at the log's name after the run closed it
    // is not mailed: only the file the run wrote.
    file.reset(CreateFileA(log_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr));
    if (!file.valid()) return state::not_opened;
    if (written.known() && !(replay::log::identity_of(file.get()) == written)) {
        file.reset();
        return state::not_opened;
    }

    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return state::nothing_to_send;
    std::string bytes;
    // A log longer than a string can be (about 1 GiB in the 32-bit program)
    // is as much out of reach as one the memory cannot hold.
    if (size > bytes.max_size()) throw std::bad_alloc();
    bytes.assign(size, '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return state::nothing_to_send;
    bytes.resize(read);
    if (bytes.size() <= 2) return state::nothing_to_send;
    // The body is kept only as the bytes to send. The program's own log (UTF-8
    // with a mark) is those bytes as read, also where they are not valid
    // UTF-8; other logs are converted, and their wide text is let go.
    if (has_utf8_mark(bytes)) {
        mail.body_part.encoded_text = std::move(bytes);
    } else {
        mail.body_part.encoded_text = replay::unicode::to_narrow(text(bytes), replay::unicode::utf8, /*strict=*/true);
    }
    mail.body_part.text.clear();
    return state::ready;
}

}  // namespace log_mail

int prompt_for_email(char* email_buffer) {
    const HINSTANCE module = GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = prompt_procedure;
    window_class.cbWndExtra = sizeof(char*);
    window_class.hInstance = module;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = prompt_class;
    RegisterClassA(&window_class);  // a class left registered still serves

    const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - prompt_width / 2;
    const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - prompt_height / 2;
    replay::window_handle window(CreateWindowExA(0, prompt_class, "Enter your e-mail",
                                                 WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, x, y, prompt_width,
                                                 prompt_height, nullptr, nullptr, module, nullptr));
    if (!window) {
        // Without a window no answer can ever come: say so instead of waiting.
        const DWORD error = GetLastError();
        UnregisterClassA(prompt_class, module);
        throw prompt_error("CreateWindowExA() failed: %s",
                           replay::system_error_text(error).c_str());
    }
    ShowWindow(window.get(), SW_SHOW);
    UpdateWindow(window.get());
    SetWindowLongPtrA(window.get(), 0, reinterpret_cast<LONG_PTR>(email_buffer));

    // Waits for each message; the window posts the quit message with its answer.
    int answer = 0;
    MSG message{};
    for (;;) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            answer = static_cast<int>(message.wParam);
            break;
        }
        if (got == -1) break;  // no answer can come: as if cancelled
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // The class is unregistered once no window of it is left.
    window.reset();
    UnregisterClassA(prompt_class, module);
    return answer;
}

int offer_log_submission(const product_remover& remover, std::string log_base) {
    message2::message mail;
    replay::file_handle file;
    log_mail::state built = log_mail::state::not_opened;
    try {
        built = log_mail::build(remover.version_string, log_base + log_suffix, mail, file, remover.log_identity);
    } catch (const std::bad_alloc&) {
        // A log too large for the memory left: this submission fails, the
        // run does not.
        message_box(log_too_large_text, mail_caption_failed, MB_OK);
        return 1;
    }
    switch (built) {
    case log_mail::state::not_opened:
        return 0;
    case log_mail::state::nothing_to_send:
        return 1;
    case log_mail::state::ready:
        break;
    }

    if (message_box("Would you like to send a log file to Brivona support?",
                    "Brivona support", MB_YESNO) != IDYES)
        return 1;
    try {
        send_log(mail, remover.user_email);
    } catch (const std::exception& error) {
        message_box(shown_error(error.what()).c_str(), mail_caption_failed, MB_OK);
    }
    return 1;
}

}  // namespace remover
