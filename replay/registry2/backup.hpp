#pragma once
// The run's registry backup: before the registry layer deletes or changes a
// key or a value, the old state goes to a file that `regedit /s` and
// `reg import` read back ("Windows Registry Editor Version 5.00", UTF-16LE
// with a byte order mark, CR LF line ends).
//
// Keys are written under their full names as the 64-bit view spells them
// (HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\... for a key of the 32-bit
// view), so the file restores to the same place from either program. Each
// entry is written and flushed before the deletion or change it describes.
// Importing the file in the order it was written gives back the state before
// the run: the first entry for a key or value holds its oldest state, and a
// later deletion or change of what is already saved writes nothing more.
//
// A backup that cannot be written never stops a deletion: the hooks raise
// nothing, and the first failure of the run is logged once ("The registry
// backup could not be written: <file or reason>"). A file that could not be
// written whole (a full disk) is deleted, or renamed to "<name>.incomplete"
// where it cannot be, and the line says which: no file is ever left under a
// backup's name that does not hold every entry. The program has one
// thread; the hooks are serialised all the same.
#include <windows.h>

#include <string>
#include <vector>

namespace replay::registry2 {

// Starts the backup: entries go to `file_name` in the first of `folders`
// (each empty for the current directory, or ending with a backslash) where
// the file can be created. The file is created on the first entry, so a run
// that deletes and changes nothing leaves none. It is always a new file,
// never reached through a link: when the name is taken, the next free of
// "<name>-2.reg" to "<name>-99.reg" is used. In a run as administrator only
// Administrators and SYSTEM may open it. Ends a backup already started.
void start_backup(const std::wstring& file_name, const std::vector<std::wstring>& folders);
// Closes the file; later deletions and changes are not backed up.
void stop_backup();
// Where the entries went; empty before the first one, when no folder could
// take the file, or when it could not be written whole.
std::wstring backup_path();

// Hooks, called just before a deletion or change. Each is a no-op while no
// backup is started.
// The value `name` of `key`, before it is deleted (`deleting` set: a missing
// value writes nothing) or written (a missing value is saved as one to
// delete, "name"=-).
void back_up_value(HKEY key, const std::wstring& name, bool deleting);
// The key `name` of `parent` before it is deleted: with `recursive` set its
// whole subtree; otherwise the key alone, and only when it has no subkeys
// (else Windows refuses the deletion). `view` adds KEY_WOW64_* flags to every
// open. A registry link is not followed: it is noted as a comment, since
// regedit cannot make one.
void back_up_key(HKEY parent, const std::wstring& name, REGSAM view, bool recursive);
// A key that the layer has just created: saved as one to delete, [-name].
void back_up_created_key(HKEY key);

}  // namespace replay::registry2
