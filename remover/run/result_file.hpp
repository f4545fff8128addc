#pragma once
// ZENQORemover.result.json: the run's outcome for deployment tools, one JSON
// object whose fields docs/result.schema.json fixes. The text is ASCII (every
// other character escaped as \uXXXX), so any reader decodes it alike; names
// come back exactly, but for an unpaired UTF-16 surrogate, which JSON text
// cannot carry and which becomes U+FFFD.
#include <windows.h>

#include <string>
#include <vector>

#include "remover/common/run_outcome.hpp"

namespace remover {

constexpr wchar_t result_file_name[] = L"ZENQORemover.result.json";

struct run_result {
    std::string version;            // "1.2.3.0"
    int bits = 0;                   // 64 or 32
    std::string started;            // ISO 8601 local time with its offset
    std::string ended;
    std::string account;            // DOMAIN\name, or the SID
    bool window_station_visible = true;
    bool completed = true;          // false after "Internal error!"
    std::vector<outcome::entry> entries;
    std::wstring backup_path;       // empty when the run wrote no backup
    std::string backup_sha256;
    std::vector<std::string> product_found;  // what the check at the end still found
};

// The JSON text of the result, ending with a line break. Raises nothing but
// std::bad_alloc.
std::string result_json(const run_result& result);

// A moment as "2026-12-09T04:05:06+01:00": the local time and its offset
// from UTC at that moment.
std::string iso8601_local(const FILETIME& utc);

// The running account as DOMAIN\name, or its SID where no name is found.
std::string account_name();

// Writes the text to `path` through a file beside it that then replaces the
// old one, so a reader never sees half a result. Empty on success, else why.
std::string write_result_file(const std::wstring& path, const std::string& text);

}  // namespace remover
