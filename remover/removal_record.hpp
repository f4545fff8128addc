#pragma once
// What the run's file removals left for later or could not do, kept for the
// end of the run: the closing lines of the log and the outcome that other
// programs read. One record per process; the program has one thread.
#include <windows.h>

#include <string>
#include <vector>

namespace remover::removal_record {

// An entry that stayed, with the Windows error of its last attempt, or why it
// was kept on purpose (a link that is not followed: error link_not_removed).
struct failure {
    std::wstring path;
    DWORD error;
};

// A file or folder queued for deletion at the next restart.
void add_scheduled(const std::wstring& path);
// An entry that stayed.
void add_failure(const std::wstring& path, DWORD error);

// In the order they were added.
const std::vector<std::wstring>& scheduled();
const std::vector<failure>& failures();

// Whether a restart completes the removal: something was scheduled.
bool restart_needed();

// Empties the record (tests).
void clear();

}  // namespace remover::removal_record
