#pragma once
// The context of one removal run: what discovery found and what the end of
// the run needs.
#include <string>
#include <vector>

namespace remover {

struct product_remover {
    explicit product_remover(const std::string& name) : product_name(name) {}

    // Logs and terminates every process whose executable name ends with name.
    void close_process_by_name(const std::string& name);

    // Finds the product's Uninstall entries by display name and reads its
    // version and installation folder from them. True when both were found.
    bool search_product_info();

    // Deletes every Uninstall entry found; false when none was found.
    bool remove_uninstall_keys();

    // Removes the InstallShield information folder of each Uninstall entry.
    void remove_installshield_folders();

    // Stops and deletes a service; when that fails, terminates its executable
    // and deletes its registry entry. The service may be found by image.
    void remove_service(const std::string& name, const std::string& image);

    std::string install_dir;     // ends with a backslash once resolved
    std::string version_string;  // DisplayVersion as found
    int version = -1;            // version code
    std::string user_email;      // from the shared suite
    bool submit_log = false;     // cleared when the main log file cannot be created
    std::string product_name;
    std::vector<std::wstring> uninstall_keys;  // Uninstall subkeys of the product
};

}  // namespace remover
