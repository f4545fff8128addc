#pragma once
// What a folder tree removal does with the entries that stayed: an entry in
// use goes at the next restart where that is safe, and every other entry that
// stayed is said, one line each.
//
// A deletion queued for the restart is carried out by path at boot, before
// anyone can intervene: it is queued only where nobody but the machine's
// administrators can change any folder from the entry's own up to the one
// that holds the removed tree, so that nobody can put a link in its place
// meanwhile and have the system delete the link's target.
#include <windows.h>

#include <string>
#include <vector>

#include "remover/safe_delete/safe_delete.hpp"

namespace remover {

// Whether an entry of the product's own tree stayed because its access list
// refuses the administrators: it could not even be opened for its deletion
// (access denied). A link is never taken for one.
bool refuses_administrators(const kept_entry& entry);

// For a tree of the product's own (its installation and data folders): takes
// over each entry that stayed because its access list refuses the
// administrators (take_over_file: Administrators own it and have full
// control, one "Taken over: '%s' ..." line each), each at most once, and
// removes the tree at root_path again, until a round takes over nothing new.
// outcome becomes the last round's, its count covering every round.
void take_over_refusing(const std::string& root_path, tree_outcome& outcome);

// Whether an entry stayed because a program uses it: a sharing or lock
// violation, a mapped file, or (for a file that could be opened for its
// deletion) access denied, as Windows answers for a loaded image.
bool is_in_use(const kept_entry& entry);

// Why an entry may not be queued for deletion at the next restart: a link on
// its path, or a folder from its own up to and including top (the folder
// that holds the removed tree) that others than Administrators, SYSTEM and
// TrustedInstaller may change or own (UTF-8). Empty when it may.
std::string restart_refusal(const std::wstring& path, const std::wstring& top);

// What tests change: how the refusal of one folder is read (path_refusal
// otherwise). Wine reports every file and folder as owned by the running
// account, whatever is set, so no folder passes there.
struct restart_seams {
    std::string (*folder_refusal)(const std::wstring& folder) = nullptr;
};
restart_seams& restart_test_seams();

// Queues each entry in use, and each folder that stays only because of
// queued entries, for deletion at the next restart (a folder after what it
// holds), where restart_refusal allows it; logs "Scheduled for removal at the
// next restart: '%s'" for each and adds it to the removal record. An entry in
// use that may not be queued gets one line saying why. root is the removed
// tree's full path. Returns the entries that still stay, in their order.
std::vector<kept_entry> schedule_in_use(const std::wstring& root, std::vector<kept_entry> kept);

// Says each entry that stayed (one line each, as an exception report; a
// folder that stays only because of what it holds is not repeated) and adds
// it to the removal record.
void report_kept(const std::vector<kept_entry>& kept);

// The closing line of a run that queued deletions for the restart; none when
// nothing was queued.
void log_restart_summary();

}  // namespace remover
