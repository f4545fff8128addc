#include "remover/run/run_end.hpp"

#include <windows.h>

#include "remover/common/run_outcome.hpp"
#include "remover/common/session.hpp"
#include "remover/run/backup_folder.hpp"
#include "remover/run/product_left.hpp"
#include "remover/run/result_file.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/backup.hpp"
#include "replay/registry2/regedit_format.hpp"
#include "replay/unicode/unicode.hpp"
#include "resources/version.h"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

struct run_files {
    FILETIME started = {};
    std::wstring folder;  // the administrators' folder; empty when refused or not prepared
    std::string refusal;
    std::string install_dir;
    bool finished = false;
};

run_files& state() {
    static run_files instance;
    return instance;
}

std::wstring wide(const std::string& utf8) { return replay::unicode::to_wide(utf8, replay::unicode::utf8); }

}  // namespace

void note_run_start() { GetSystemTimeAsFileTime(&state().started); }

void start_run_files(const std::string& install_dir) {
    run_files& files = state();
    files.install_dir = install_dir;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const backup_folder folder = prepare_backup_folder();
    if (!folder.refusal.empty()) {
        files.refusal = folder.refusal;
        log::message(L"The registry backup could not be written: %s", wide(folder.refusal).c_str());
        return;
    }
    files.folder = folder.path;
    registry2::start_backup(registry2::backup_file_name(L"ZENQORemover", now), {folder.path});
}

void finish_run_files() {
    run_files& files = state();
    if (files.finished) return;
    files.finished = true;
    try {
        run_result result;
        registry2::stop_backup();
        result.backup_path = registry2::backup_path();
        if (!result.backup_path.empty()) {
            result.backup_sha256 = file_sha256(result.backup_path);
            log::message(L"The registry backup is '%s', SHA-256 %s", result.backup_path.c_str(),
                         wide(result.backup_sha256.empty() ? "unknown" : result.backup_sha256).c_str());
        }
        if (files.folder.empty()) {
            const std::string why = files.refusal.empty() ? "the run stopped before its folder was prepared" : files.refusal;
            log::message(L"The result of the run could not be written: %s", wide(why).c_str());
            return;
        }
        result.version = ZENQO_VERSION_TEXT;
#if defined(ZENQO_X64)
        result.bits = 64;
#else
        result.bits = 32;
#endif
        FILETIME ended = {};
        GetSystemTimeAsFileTime(&ended);
        result.started = iso8601_local(files.started);
        result.ended = iso8601_local(ended);
        result.account = account_name();
        result.window_station_visible = windows_visible();
        result.completed = outcome::completed();
        result.entries = outcome::entries();
        result.product_found = product_left(files.install_dir);
        const std::wstring path = files.folder + result_file_name;
        const std::string why = write_result_file(path, result_json(result));
        if (why.empty()) {
            log::message(L"The result of the run is in '%s'", path.c_str());
        } else {
            log::message(L"The result of the run could not be written: '%s': %s", path.c_str(), wide(why).c_str());
        }
    } catch (const std::exception& e) {
        log::message("The result of the run could not be written: %s", e.what());
    } catch (...) {
    }
}

}  // namespace remover
