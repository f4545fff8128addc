#include "remover/run/result_file.hpp"

#include <sddl.h>

#include <nlohmann/json.hpp>

#include "remover/common/trust.hpp"
#include "remover/run/backup_folder.hpp"
#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

using json = nlohmann::ordered_json;

constexpr int json_indent = 2;
constexpr wchar_t temporary_suffix[] = L".new";

std::string utf8(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
}

std::string error_text(DWORD error) {
    std::string text = replay::system_error_text(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

json item(const outcome::entry& entry) {
    json object;
    object["name"] = utf8(entry.name);
    if (entry.has_value) object["value"] = utf8(entry.value);
    if (entry.what == outcome::kind::failed) {
        object["error"] = entry.error;
        object["error_text"] = error_text(entry.error);
    }
    if (entry.what == outcome::kind::kept) object["reason"] = entry.reason;
    return object;
}

}  // namespace

std::string result_json(const run_result& result) {
    json lists = {{"removed", json::array()}, {"scheduled", json::array()}, {"failed", json::array()},
                  {"kept", json::array()}};
    for (const outcome::entry& entry : result.entries) {
        const char* list = entry.what == outcome::kind::removed     ? "removed"
                           : entry.what == outcome::kind::scheduled ? "scheduled"
                           : entry.what == outcome::kind::failed    ? "failed"
                                                                    : "kept";
        lists[list].push_back(item(entry));
    }
    json object;
    object["program"] = "ZENQORemover";
    object["version"] = result.version;
    object["bitness"] = result.bits;
    object["start"] = result.started;
    object["end"] = result.ended;
    object["account"] = result.account;
    object["window_station_visible"] = result.window_station_visible;
    object["completed"] = result.completed;
    object["restart_needed"] = !lists["scheduled"].empty();
    object["counts"] = {{"removed", lists["removed"].size()},
                        {"scheduled", lists["scheduled"].size()},
                        {"failed", lists["failed"].size()},
                        {"kept", lists["kept"].size()}};
    for (const char* list : {"removed", "scheduled", "failed", "kept"}) object[list] = lists[list];
    if (result.backup_path.empty()) {
        object["backup"] = nullptr;
    } else {
        object["backup"] = {{"path", utf8(result.backup_path)}, {"sha256", result.backup_sha256}};
    }
    object["product_left"] = !result.product_found.empty();
    object["product_found"] = result.product_found;
    return object.dump(json_indent, ' ', /*ensure_ascii=*/true, json::error_handler_t::replace) + "\n";
}

std::string iso8601_local(const FILETIME& utc) {
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&utc, &universal);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) local = universal;
    FILETIME local_time = {};
    SystemTimeToFileTime(&local, &local_time);
    const auto ticks = [](const FILETIME& time) {
        return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    constexpr long long ticks_per_minute = 600000000LL;
    const long long offset = (ticks(local_time) - ticks(utc)) / ticks_per_minute;
    const long long magnitude = offset < 0 ? -offset : offset;
    return replay::format("%.4d-%.2d-%.2dT%.2d:%.2d:%.2d%c%.2d:%.2d", local.wYear, local.wMonth, local.wDay,
                          local.wHour, local.wMinute, local.wSecond, offset < 0 ? '-' : '+',
                          static_cast<int>(magnitude / 60), static_cast<int>(magnitude % 60));
}

std::string account_name() {
    const std::vector<BYTE> user = running_account();
    if (user.empty()) return "an unreadable account";
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD name_length = 256;
    DWORD domain_length = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &name_length, domain, &domain_length, &use)) return sid_text(sid);
    return utf8(domain_length != 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name));
}

std::string write_result_file(const std::wstring& path, const std::string& text) {
    const std::wstring temporary = path + temporary_suffix;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(backup_folder_descriptor, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return "its access list cannot be made";
    }
    const replay::local_memory_handle owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, /*inherit=*/FALSE};
    DWORD error = ERROR_SUCCESS;
    {
        replay::file_handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) return error_text(GetLastError());
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            error = GetLastError();
        } else if (written != text.size()) {
            error = ERROR_DISK_FULL;
        } else if (!FlushFileBuffers(file.get())) {
            error = GetLastError();
        }
    }
    if (error == ERROR_SUCCESS &&
        !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) return {};
    DeleteFileW(temporary.c_str());
    return error_text(error);
}

}  // namespace remover
