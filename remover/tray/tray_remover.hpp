#pragma once
// The maker's common tray, shared by its products: each product that uses it
// leaves a configuration file named after its product code. The product's own
// file and icon go; when no other product's file is left, the tray is asked
// to quit (or terminated) and its folders, registry key, Run value and
// Installer registrations go. Its SharedDLLs counters are then set to the
// number of products still using it.
#include <windows.h>

#include <string>

namespace remover {

class tray_remover {
public:
    // The second and third arguments are always "Tray" and "ZENQO".
    tray_remover(std::wstring folder, const std::wstring& tray, const std::wstring& code, std::wstring exe);

    // The whole clean-up; logs every step. The suite's per-user data folders
    // in the profiles go with the tray only when `suite_gone` says that the
    // suite was removed or is not installed; otherwise a line says they
    // stay. Raises only when a special folder cannot be resolved or the tray
    // folder cannot be examined.
    void remove_tray(bool suite_gone);

    // The products whose configuration files are left in the folder (ending
    // with a backslash): the tray's own tktray.xml does not count, and MILVA
    // and TORKA together count as one. 0 when the folder cannot be listed.
    int count_tray_products(const std::wstring& configurations);

    void fix_tray_counters(int users);

private:
    std::wstring folder_name;
    std::wstring tray_name;
    std::wstring product_code;
    std::wstring tray_exe;
};

// How long the tray is given to end: this many polls, a second apart.
constexpr int tray_exit_polls = 15;
constexpr DWORD tray_poll_interval_ms = 1000;

}  // namespace remover
