#include "remover/run/run_logs.hpp"

#include <windows.h>

#include <memory>

#include "remover/common/identity.hpp"
#include "remover/common/session.hpp"
#include "remover/log_submission/log_submission.hpp"
#include "replay/exception.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;

constexpr DWORD log_wait_ms = 3000;
constexpr DWORD temp_path_chars = 260;

constexpr char log_file_failure[] =
    "Unable to create log file. If you need log file make sure that you have permission to write to "
    "directory where remove.exe is located";

// The temporary folder with its trailing backslash, in the ANSI code page
// (strictly converted: a path without an exact ANSI form raises).
std::string temporary_folder() {
    wchar_t temp[temp_path_chars] = {};
    const DWORD length = GetTempPathW(temp_path_chars, temp);
    if (length == 0 || length >= temp_path_chars) {
        const DWORD error = GetLastError();
        throw replay::exception("GetTempPath failed: %s", replay::system_error_text(error).c_str());
    }
    return replay::unicode::to_ansi_strict(std::wstring(temp, length));
}

// The run's two log files, owned by the log until it shuts down.
log::file* main_log_file = nullptr;
log::file* temp_log_file = nullptr;

}  // namespace

std::optional<std::string> attach_log_files(product_remover& remover) {
    log::attach(std::make_unique<log::console>());
    try {
        auto main_log = std::make_unique<log::file>(program_name);
        remover.log_identity = main_log->identity();
        main_log_file = main_log.get();
        log::attach(std::move(main_log));
    } catch (...) {
        message_box(log_file_failure, "ZENQORemover.exe", MB_OK);
        remover.submit_log = false;
    }
    try {
        remover.temp_log_base = temporary_folder() + program_name;
        auto temp_log = std::make_unique<log::file>(remover.temp_log_base);
        remover.temp_log_identity = temp_log->identity();
        temp_log_file = temp_log.get();
        log::attach(std::move(temp_log));
    } catch (const replay::exception& e) {
        remover.temp_log_base.clear();
        return e.message();
    } catch (const std::exception& e) {
        remover.temp_log_base.clear();
        return std::string(e.what());
    }
    return std::nullopt;
}

void note_whole_logs(product_remover& remover) {
    remover.log_whole = main_log_file == nullptr || main_log_file->whole();
    remover.temp_log_whole = temp_log_file != nullptr && temp_log_file->whole();
    main_log_file = nullptr;
    temp_log_file = nullptr;
}

void submit_log_or_wait(product_remover& remover, const std::string& program) {
    if (!remover.submit_log) {
        // Without the log file there is nothing to send: keep the console
        // readable for a moment instead.
        Sleep(log_wait_ms);
        return;
    }
    // The log is named after the program, in the current directory. When that
    // one was cut short (a full disk) and the temporary folder's is whole,
    // the whole one is offered.
    if (!remover.log_whole && remover.temp_log_whole) {
        product_remover whole_log = remover;
        whole_log.log_identity = remover.temp_log_identity;
        if (offer_log_submission(whole_log, remover.temp_log_base) == 0)
            message_box("Log file not submitted", "Log file not submitted", MB_OK);
        return;
    }
    if (offer_log_submission(remover, program) == 0)
        message_box("Log file not submitted", "Log file not submitted", MB_OK);
}

}  // namespace remover
