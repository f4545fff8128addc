#include "replay/log/log.hpp"

#include <cstdarg>
#include <cstdio>

#include "replay/files/links.hpp"
#include "replay/format.hpp"
#include "replay/log/exception_report.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::log {

namespace {

constexpr char level_markers[] = "# +!>@";
constexpr std::uint32_t no_size_limit = 0xFFFFFFFF;
constexpr char byte_order_mark[] = "\xEF\xBB\xBF";
constexpr DWORD byte_order_mark_size = 3;
constexpr DWORD share_read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD log_access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
// A link at the log's name is opened as itself, not as its target.
constexpr DWORD log_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

replay::mutex& global_lock() {
    static replay::mutex lock;
    return lock;
}

dispatcher* the_dispatcher = nullptr;

std::string console_text(const std::string& utf8_text) {
    const std::wstring wide = unicode::to_wide(utf8_text, unicode::utf8);
    try {
        return unicode::to_narrow(wide, unicode::oem, /*strict=*/true);
    } catch (const unicode::generic&) {
    }
    // Some character has no form in the console's code page: convert one at
    // a time and show "?" for those that do not convert.
    std::string result;
    for (wchar_t c : wide) {
        try {
            result += unicode::to_narrow(std::wstring(1, c), unicode::oem, /*strict=*/true);
        } catch (const unicode::generic&) {
            result += '?';
        }
    }
    return result;
}

// The text as one line: CR and LF, which would start a line without the
// prefix (text from the registry, the suite or a server can hold them), are
// written as the two characters "\r" and "\n".
std::string single_line(const std::string& text) {
    if (text.find_first_of("\r\n") == std::string::npos) return text;
    std::string line;
    line.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else {
            line += c;
        }
    }
    return line;
}

// The file at path, opened without following a link: an existing file is
// opened, else a new one created. A name that exists but cannot be opened
// (a dangling link, say) is never created through.
HANDLE open_log(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), log_access, share_read_write, /*security=*/nullptr, OPEN_EXISTING,
                                log_flags, /*template=*/nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) return handle;
    handle = CreateFileA(path.c_str(), log_access, share_read_write, nullptr, CREATE_NEW, log_flags, nullptr);
    // Another process created it meanwhile.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        handle = CreateFileA(path.c_str(), log_access, share_read_write, nullptr, OPEN_EXISTING, log_flags, nullptr);
    return handle;
}

}  // namespace

file_identity identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle, &info)) return {};
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::string make_prefix(const SYSTEMTIME& time, int level) {
    const char marker = level >= 0 && level <= 5 ? level_markers[level] : '?';
    return format("%.4d/%.2d/%.2d %.2d:%.2d:%.2d %c  ", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond, marker);
}

listener::~listener() = default;

void console::write(int /*level*/, const std::string& prefix, const std::string& text) {
    const std::string shown = console_text(single_line(text));
    std::fwrite(prefix.data(), 1, prefix.size(), stdout);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string file::mutex_name(const std::string& base_name) {
    std::string result = "log-" + base_name;
    for (char& c : result) {
        if (c == '\\') c = '_';
    }
    return result;
}

file::file(const std::string& base_name)
    : file_mutex(mutex_name(base_name)),
      name(base_name),
      max_size(no_size_limit),
      backups(0) {
    const std::string path = name + ".log.txt";
    // Without delete sharing nobody can swap the file for a link while it
    // is open.
    handle.reset(open_log(path));
    if (!handle) {
        const DWORD error = GetLastError();
        throw generic(std::string("CreateFile failed: ") + system_error_text(error));
    }
    // The run writes names that users choose: it never appends them to a
    // file that a link at the log's name leads to.
    if (files::is_link(handle.get(), unicode::to_wide(path, unicode::ansi))) {
        handle.reset();
        throw generic("CreateFile failed: " + path + " is a link");
    }
    identity_ = identity_of(handle.get());
    // Another process may create the same file at the same moment: only one
    // of them must write the mark.
    scope guard(&file_mutex);
    if (GetFileSize(handle.get(), nullptr) == 0) {
        DWORD written = 0;
        WriteFile(handle.get(), byte_order_mark, byte_order_mark_size, &written, nullptr);
    }
    guard.unlock();
}

file::~file() = default;

void file::truncate() {
    SetFilePointer(handle.get(), 0, nullptr, FILE_BEGIN);
    SetEndOfFile(handle.get());
    DWORD written = 0;
    WriteFile(handle.get(), byte_order_mark, byte_order_mark_size, &written, nullptr);
}

void file::rotate() {
    const std::string current = format("%s.log.txt", name.c_str());
    auto backup = [this](std::uint32_t number) {
        return format("%s.%i.log.txt", name.c_str(), static_cast<int>(number));
    };
    if (backups == 1) DeleteFileA(backup(1).c_str());
    // Backup 1 is the oldest: take the first free number.
    for (std::uint32_t i = 1; i <= backups; ++i) {
        if (CopyFileA(current.c_str(), backup(i).c_str(), /*fail_if_exists=*/TRUE)) return;
    }
    // Every number is taken: drop the oldest, move the others down, and copy
    // to the newest. This is tried once; when the copy still fails (a full
    // disk, say) the file is neither saved nor cut, and the line is written.
    for (std::uint32_t j = 1; j < backups; ++j) {
        if (!MoveFileExA(backup(j + 1).c_str(), backup(j).c_str(), MOVEFILE_REPLACE_EXISTING)) break;
    }
    if (CopyFileA(current.c_str(), backup(backups).c_str(), TRUE)) return;
    throw generic("log rotation failed");
}

void file::write(int /*level*/, const std::string& prefix, const std::string& text) {
    scope guard(&file_mutex);
    // A failed size query reports 0xFFFFFFFF and so counts as the limit.
    if (GetFileSize(handle.get(), nullptr) >= max_size) {
        bool saved = true;
        if (backups > 0) {
            try {
                rotate();
            } catch (const generic&) {
                saved = false;
            }
        }
        if (saved) truncate();
    }
    const std::string line = format("%s%s\r\n", prefix.c_str(), single_line(text).c_str());
    SetFilePointer(handle.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    if (!WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        note_failure(GetLastError());
    } else if (written != line.size()) {
        note_failure(ERROR_DISK_FULL);
    }
    // A failed release reaches the caller.
    guard.unlock();
}

void file::note_failure(DWORD error) {
    if (!failure_.empty()) return;
    const std::string path = name + ".log.txt";
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    const std::string shown = length == 0 || length >= MAX_PATH ? path : std::string(full, length);
    std::string text = system_error_text(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    std::string shown_utf8;
    try {
        shown_utf8 = unicode::to_narrow(unicode::to_wide(shown, unicode::ansi), unicode::utf8, /*strict=*/false);
    } catch (const unicode::generic&) {
        shown_utf8 = shown;
    }
    failure_ = format("The log file '%s' could not be written completely: %s", shown_utf8.c_str(),
                      (text.empty() ? format("error %u", static_cast<unsigned>(error)) : text).c_str());
}

std::string file::take_failure() {
    if (failure_.empty() || failure_taken_) return {};
    failure_taken_ = true;
    return failure_;
}

proxy::proxy(dispatcher* target, const std::string& tag) : target_(target), tag_(tag) {}

void proxy::write(int level, const std::string& /*prefix*/, const std::string& text) {
    target_->write(level, unicode::to_wide(tag_ + text, unicode::utf8));
}

dispatcher::~dispatcher() noexcept { clear(); }

void dispatcher::attach(std::unique_ptr<listener> target, int min_level) {
    scope guard(this);
    listeners_.emplace(min_level, std::move(target));
}

void dispatcher::clear() {
    scope guard(this);
    listeners_.clear();
}

void dispatcher::write(int level, const std::wstring& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string prefix = make_prefix(now, level);
    std::wstring line = text;
    int effective = level;
    if (level == level_error_with_exception) {
        line = describe_current_exception(line);
        effective = level_error;
    }
    const std::string utf8_line = unicode::to_narrow(line, unicode::utf8, /*strict=*/true);

    scope guard(this);
    // Highest minimum level first; among equal keys the newest listener first.
    auto it = listeners_.upper_bound(effective);
    while (it != listeners_.begin()) {
        --it;
        it->second->write(effective, prefix, utf8_line);
    }
    // A listener whose write failed is said once in every other one (the
    // other log file and the console), never in itself.
    for (auto& failed : listeners_) {
        const std::string note = failed.second->take_failure();
        if (note.empty()) continue;
        for (auto& other : listeners_) {
            if (&other != &failed && other.first <= level_message) other.second->write(level_message, prefix, note);
        }
    }
}

void dispatcher::write(int level, const std::string& text) {
    std::wstring wide;
    try {
        wide = unicode::to_wide(text, unicode::ansi);
    } catch (const unicode::generic&) {
        try {
            wide = unicode::to_wide(text, unicode::utf8);
        } catch (const unicode::generic&) {
            wide = L"replay::log: unable to convert input to unicode";
        }
    }
    write(level, wide);
}

void dispatcher::printf(int level, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::wstring text = vwformat(fmt, args);
    va_end(args);
    write(level, text);
}

dispatcher& instance() {
    if (the_dispatcher == nullptr) the_dispatcher = new dispatcher();
    return *the_dispatcher;
}

void attach(std::unique_ptr<listener> target) {
    scope guard(&global_lock());
    instance().attach(std::move(target));
}

void shutdown() {
    scope guard(&global_lock());
    delete the_dispatcher;
    the_dispatcher = nullptr;
}

void write(int level, const std::string& text) {
    scope guard(&global_lock());
    instance().write(level, text);
}

void write(int level, const std::wstring& text) {
    scope guard(&global_lock());
    instance().write(level, text);
}

void message(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(level_message, text);
}

void message_lines(const std::string& text) {
    for (size_t start = 0;;) {
        const size_t end = text.find('\n', start);
        write(level_message, text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

void message(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::wstring text = vwformat(fmt, args);
    va_end(args);
    write(level_message, text);
}

void error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(level_error, text);
}

void error(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::wstring text = vwformat(fmt, args);
    va_end(args);
    write(level_error, text);
}

}  // namespace replay::log
