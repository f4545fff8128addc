#pragma once
// The end of a run: the log file mailed to the maker's support mailbox, after
// the user agreed, with a sender from the shared suite or from a small prompt
// window, and the outcome shown in message boxes.
#include <string>

#include "remover/common/product_remover.hpp"
#include "replay/handle.hpp"
#include "replay/internet/address/address.hpp"
#include "replay/internet/message2/message2.hpp"
#include "replay/internet/smtp/smtp.hpp"
#include "replay/log/log.hpp"

namespace remover {

// Size of the prompt's e-mail buffer, terminator included.
constexpr int email_buffer_size = 256;

// Offers to send the log file log_base + ".log.txt", the file the run wrote
// (remover.log_identity, when known). Returns 0 only when that file cannot be
// opened or is not that file (nothing was asked or shown); 1 in every other
// case, each outcome having shown its own box. Errors while building the mail
// (reading or converting the log) pass to the caller.
int offer_log_submission(const product_remover& remover, std::string log_base);

// Shows the "Enter your e-mail" window until the user answers. Returns 1 for
// "Ok", with the edit box's text in email_buffer (email_buffer_size bytes);
// 0 for "Cancel" or a closed window, the buffer untouched. Raises when the
// window cannot be created.
int prompt_for_email(char* email_buffer);

// The pieces of offer_log_submission that need no window.
namespace log_mail {

enum class state {
    not_opened,      // the log file cannot be opened
    nothing_to_send, // it could not be read, or holds 2 bytes or fewer
    ready,           // the mail holds the log; the file stays open
};

// Builds the support mail without its sender: the headers as sent and the
// log file's text in UTF-8 as the body's bytes (a log with a UTF-8 mark as
// read, byte for byte). The file stays open in `file` while the mail is
// offered, so that nobody replaces it meanwhile. The file is opened without
// following a link; when `written` is known, a file other than that one (by
// volume serial number and file index) counts as not opened. Raises
// std::bad_alloc when the log does not fit in memory.
state build(const std::string& version_string, const std::string& log_path,
            replay::internet::message2::message& mail, replay::file_handle& file,
            const replay::log::file_identity& written = {});

// Whether the bytes begin with the UTF-8 byte order mark.
bool has_utf8_mark(const std::string& bytes);

// The log's text, decided from its first bytes: UTF-8 with a byte order mark,
// UTF-16 little-endian (with or without a mark, or a zero first or second
// byte), else the ANSI code page. A mark stays in the text. Raises the
// unicode errors for bytes the encoding cannot decode. Needs 2 bytes or more.
std::wstring text(const std::string& bytes);

// Whether an address can be the mail's sender: it holds an "@" and no
// control character (which would write header lines of its own).
bool usable_sender(const std::string& sender);

// Delivers the mail to the support mailbox through the server at `server`,
// its body encoded line by line as it is sent. Raises the mail library's
// errors.
void send(const replay::internet::message2::message& mail, const replay::internet::address::base& server,
          replay::internet::smtp::time_limits limits);

}  // namespace log_mail

}  // namespace remover
