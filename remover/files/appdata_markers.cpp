#include <windows.h>
#include <shlobj.h>

#include "remover/common/trust.hpp"
#include "remover/files/files.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

// The GUID-named folders of the common application data that the product's
// installer marks with its files.
namespace remover {

namespace log = replay::log;
using replay::unicode::from_ansi;

namespace {

// Why a marker file does not tell that its folder is the product's: it is a
// link (its target's owner would be read) or is owned by another account.
std::string marker_refusal(const std::wstring& marker) {
    DWORD error = 0;
    switch (check_links(marker, &error)) {
        case link_state::own: return owner_refusal(marker);
        case link_state::link: return "it is a link";
        case link_state::unknown: break;
    }
    return replay::format("it cannot be examined (error %d)", static_cast<int>(error));
}

}  // namespace

void remove_common_appdata_folders(const std::string& wildcard) {
    std::string base = get_folder_path(CSIDL_COMMON_APPDATA);
    if (base.empty() || base.back() != '\\') base += "\\";
    for (const std::string& name : list_subfolders(base)) {
        if (name.empty() || name[0] != '{') continue;
        const std::string common = get_folder_path(CSIDL_COMMON_APPDATA);
        const std::string folder = common + name;
        const std::string probe = (!folder.empty() && folder.back() == '\\') ? folder : folder + "\\";
        const std::vector<std::string> markers = list_files(probe, wildcard);
        if (markers.empty()) {
            log::message("%s\\%s - ignore folder", common.c_str(), name.c_str());
            continue;
        }
        // Every user may create files in these folders: only a marker that
        // an installer wrote (owned by an administrator account) tells that
        // the folder is the product's.
        std::string refusal;
        bool trusted = false;
        for (const std::string& marker : markers) {
            refusal = marker_refusal(from_ansi(probe + marker));
            if (refusal.empty()) {
                trusted = true;
                break;
            }
        }
        if (trusted) {
            remove_folder_tree(folder, folder_source::system);
        } else {
            log::message("%s\\%s - ignore folder: its marker '%s' is not the product's: %s", common.c_str(),
                         name.c_str(), markers.front().c_str(), refusal.c_str());
        }
    }
}

}  // namespace remover
