#include "remover/run/backup_folder.hpp"

#include <shlobj.h>
#include <sddl.h>
#include <wincrypt.h>

#include <vector>

#include "remover/common/trust.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/handle.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

constexpr const wchar_t* folder_names[] = {L"ZENQORemover", L"Backups"};
constexpr DWORD sha256_bytes = 32;
constexpr DWORD digest_chunk = 64 * 1024;

std::string shown(const std::wstring& path) {
    return "\"" + replay::unicode::to_narrow(path, replay::unicode::utf8, /*strict=*/false) + "\"";
}

// Creates the folder with the administrators' descriptor, given in the same
// call, so that no other account ever had a moment to write to it. `created`
// tells a new folder from one that already stood there. Empty when the folder
// now exists.
std::string create_folder(const std::wstring& path, bool& created) {
    created = false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(backup_folder_descriptor, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return shown(path) + ": its access list cannot be made";
    }
    const replay::local_memory_handle owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, /*inherit=*/FALSE};
    if (CreateDirectoryW(path.c_str(), &attributes)) {
        created = true;
        return {};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return {};
    return shown(path) + ": it cannot be created (error " + std::to_string(error) + ")";
}

// Why the folder may not hold the backup: a link on its path, no folder, or
// (for a folder that stood there before the run) others who may change it or
// own it.
std::string folder_refusal(const std::wstring& path, bool created) {
    DWORD error = 0;
    const link_state state = check_links(path, &error);
    if (state == link_state::link) return shown(path) + " is a link or lies behind one";
    if (state != link_state::own) return shown(path) + ": its links cannot be checked (error " + std::to_string(error) + ")";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return shown(path) + " is no folder";
    if (created) return {};
    const std::string refusal = path_refusal(path, writers::administrators, /*check_owner=*/true);
    return refusal.empty() ? std::string() : shown(path) + ": " + refusal;
}

struct crypt_provider {
    HCRYPTPROV handle = 0;
    ~crypt_provider() {
        if (handle != 0) CryptReleaseContext(handle, 0);
    }
};

struct crypt_hash {
    HCRYPTHASH handle = 0;
    ~crypt_hash() {
        if (handle != 0) CryptDestroyHash(handle);
    }
};

}  // namespace

backup_folder prepare_backup_folder(const std::wstring& common_appdata) {
    backup_folder result;
    std::wstring path = common_appdata;
    for (const wchar_t* name : folder_names) {
        path += name;
        bool created = false;
        std::string refusal = create_folder(path, created);
        if (refusal.empty()) refusal = folder_refusal(path, created);
        if (!refusal.empty()) {
            result.refusal = refusal;
            return result;
        }
        path += L'\\';
    }
    result.path = path;
    return result;
}

backup_folder prepare_backup_folder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(/*owner=*/nullptr, CSIDL_COMMON_APPDATA, /*token=*/nullptr, SHGFP_TYPE_CURRENT, folder))) {
        backup_folder result;
        result.refusal = "the common application data folder is unknown";
        return result;
    }
    std::wstring base = folder;
    if (base.empty() || base.back() != L'\\') base += L'\\';
    return prepare_backup_folder(base);
}

std::string file_sha256(const std::wstring& path) {
    replay::file_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return {};
    crypt_provider provider;
    if (!CryptAcquireContextW(&provider.handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return {};
    crypt_hash hash;
    if (!CryptCreateHash(provider.handle, CALG_SHA_256, 0, 0, &hash.handle)) return {};
    std::vector<BYTE> buffer(digest_chunk);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), digest_chunk, &read, nullptr)) return {};
        if (read == 0) break;
        if (!CryptHashData(hash.handle, buffer.data(), read, 0)) return {};
    }
    BYTE digest[sha256_bytes] = {};
    DWORD length = sha256_bytes;
    if (!CryptGetHashParam(hash.handle, HP_HASHVAL, digest, &length, 0) || length != sha256_bytes) return {};
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace remover
