#pragma once
// The process-wide log: one dispatcher that owns its listeners and hands each
// message, with a dated prefix, to every listener whose minimum level it
// reaches. Lock order is always: global log lock, dispatcher lock, file mutex.
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "replay/lock.hpp"

namespace replay::log {

REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "log");

// Level 5 is an error with the description of the exception being handled
// appended; listeners receive it as level 3.
constexpr int level_message = 1;
constexpr int level_error = 3;
constexpr int level_error_with_exception = 5;

// The 23-character line prefix "YYYY/MM/DD hh:mm:ss M  " with the level's marker.
std::string make_prefix(const SYSTEMTIME& time, int level);

class listener {
public:
    virtual ~listener() = 0;
    // text is UTF-8.
    virtual void write(int level, const std::string& prefix, const std::string& text) = 0;
    // The line that tells the other listeners of this one's first failed
    // write, once: empty when there is none, or it was taken before.
    virtual std::string take_failure() { return {}; }
};

// Standard output in the console's OEM code page; characters it cannot show
// become "?".
class console : public listener {
public:
    void write(int level, const std::string& prefix, const std::string& text) override;
};

// What names one file on its volume: the volume's serial number and the
// file's index. All zero when unknown.
struct file_identity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool known() const { return volume != 0 || index_high != 0 || index_low != 0; }
    bool operator==(const file_identity& other) const {
        return volume == other.volume && index_high == other.index_high && index_low == other.index_low;
    }
};

// The identity of an open file (the handle needs FILE_READ_ATTRIBUTES); all
// zero when it cannot be read.
file_identity identity_of(HANDLE handle);

// "<name>.log.txt", UTF-8 with a byte order mark, kept open and appended to
// with one write per line, serialised across processes by a named mutex.
// The file is opened without following a link and without delete sharing,
// so that it cannot be swapped while the run writes. The constructor raises
// generic "CreateFile failed: <system text>" when the file cannot be opened,
// generic "CreateFile failed: <name> is a link" when what stands at the name
// is a link (a reparse point, a file with more than one hard link, or a
// handle that reaches a file of another name), and replay::exception when
// the mutex cannot be made.
class file : public listener {
public:
    explicit file(const std::string& base_name);
    file(const file&) = delete;
    file& operator=(const file&) = delete;
    ~file() override;
    void write(int level, const std::string& prefix, const std::string& text) override;

    // The program keeps the defaults (no limit, no backups).
    void set_max_size(std::uint32_t bytes) { max_size = bytes; }
    void set_backups(std::uint32_t count) { backups = count; }

    // "log-" and the base name with every backslash made an underscore.
    static std::string mutex_name(const std::string& base_name);

    // The file this listener writes.
    const file_identity& identity() const { return identity_; }
    // Whether every line reached the file: false after the first write that
    // failed or was cut short (a full disk).
    bool whole() const { return failure_.empty(); }
    // After the first failed write: "The log file '<full path>' could not be
    // written completely: <system text>", once. The dispatcher writes it to
    // every other listener.
    std::string take_failure() override;

private:
    void note_failure(DWORD error);

    void rotate();
    void truncate();

    real_mutex file_mutex;
    std::string name;
    std::uint32_t max_size;
    std::uint32_t backups;
    file_handle handle;
    file_identity identity_;
    std::string failure_;
    bool failure_taken_ = false;
};

class dispatcher;

// Forwards each message, tagged, to another dispatcher.
class proxy : public listener {
public:
    proxy(dispatcher* target, const std::string& tag);
    void write(int level, const std::string& prefix, const std::string& text) override;

private:
    dispatcher* target_;
    std::string tag_;
};

class dispatcher : public replay::mutex {
public:
    dispatcher() = default;
    ~dispatcher() noexcept override;

    void attach(std::unique_ptr<listener> target, int min_level = 0);
    // Deletes every listener.
    void clear();

    void write(int level, const std::wstring& text);
    // Narrow text in the ANSI code page, else UTF-8; text that is neither is
    // replaced by a fixed message.
    void write(int level, const std::string& text);
    void printf(int level, const wchar_t* fmt, ...);

private:
    std::multimap<int, std::unique_ptr<listener>> listeners_;
};

// The dispatcher, created on first use. Does not take the global log lock.
dispatcher& instance();
void attach(std::unique_ptr<listener> target);
// Deletes every listener and the dispatcher; later messages go nowhere.
void shutdown();

void write(int level, const std::string& text);
void write(int level, const std::wstring& text);
void message(const char* fmt, ...);
void message(const wchar_t* fmt, ...);
// The program's own text of several lines ("\n" between them), one message
// per line; text from outside goes through message, which shows its line
// breaks escaped.
void message_lines(const std::string& text);
void error(const char* fmt, ...);
void error(const wchar_t* fmt, ...);

}  // namespace replay::log
