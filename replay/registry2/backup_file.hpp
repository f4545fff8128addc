#pragma once
// The registry backup's file: made new for an administrator only, checked to
// be no link, and removed when it could not be written whole.
#include <windows.h>

#include <string>

#include "replay/handle.hpp"

namespace replay::registry2::detail {

// The name with "-<number>" before its extension; the name itself for 1.
std::wstring numbered(const std::wstring& name, int number);

// The descriptor of a new backup file: Administrators and SYSTEM only in an
// elevated run; otherwise (or when it cannot be built) the folder's default.
class backup_security {
public:
    backup_security();
    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    replay::local_memory_handle descriptor_;
    SECURITY_ATTRIBUTES attributes_ = {};
};

// Closes `file` and deletes the file at `path` (in a folder that only
// administrators can change, so the name still leads to it), or renames it
// to "<path>.incomplete" where it cannot be deleted. Returns what became of it, for the log: "the incomplete file
// was deleted", "... was renamed to "<name>"", or why neither worked.
std::wstring discard_incomplete(file_handle& file, const std::wstring& path);

}  // namespace replay::registry2::detail
