#pragma once
// What the run did, as deployment tools read it: each file, folder, key or
// value that the run removed, scheduled for removal at the next restart,
// failed to remove (with the Windows error) or kept on purpose (with the
// reason). The cleaning operations record an outcome where they log it; the
// result file of the run (ZENQORemover.result.json) is written from this
// record at its end. The record is process-wide and kept in order of the
// calls. Recording raises nothing: an entry that cannot be stored is lost,
// never the run.
#include <windows.h>

#include <string>
#include <vector>

namespace remover::outcome {

enum class kind { removed, scheduled, failed, kept };

struct entry {
    kind what = kind::removed;
    // A full path of a file or folder, or a key's full name
    // ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), as the log names it.
    std::wstring name;
    // For a single registry value: its name (empty for the default value);
    // has_value tells a value from a key.
    std::wstring value;
    bool has_value = false;
    // failed: the Windows error code (0 when none is known).
    DWORD error = 0;
    // kept: why it was kept (one of the reasons below, or a text of the log).
    std::string reason;
};

// Reasons for kept entries that deployment tools may compare.
constexpr char reason_in_use_by_others[] = "another product still uses it";
constexpr char reason_link[] = "a link, which is not followed";
constexpr char reason_protected[] = "would not dare to remove it: it may not be the product's";
constexpr char reason_unsafe_name[] = "its name cannot be converted exactly";
constexpr char reason_not_empty[] = "not empty";
constexpr char reason_open_to_others[] = "others may change its folder: not scheduled for the restart";

// A path in the ANSI code page, as most of the run's paths are, is recorded
// in its Unicode form.
void removed(const std::wstring& name);
void removed(const std::string& ansi_name);
void removed_value(const std::wstring& key, const std::wstring& value);
void scheduled(const std::wstring& name);
void scheduled(const std::string& ansi_name);
void failed(const std::wstring& name, DWORD error);
void failed(const std::string& ansi_name, DWORD error);
void failed_value(const std::wstring& key, const std::wstring& value, DWORD error);
void kept(const std::wstring& name, const std::string& reason);
void kept(const std::string& ansi_name, const std::string& reason);

// The run ended in "Internal error!": the result says it did not complete.
void internal_error();
bool completed();

// Every entry recorded so far, in order; and those of one kind.
std::vector<entry> entries();
std::vector<entry> entries(kind what);

// Forgets every entry and the internal error (for tests and a new run).
void clear();

}  // namespace remover::outcome
