#pragma once
// The context of one removal run: what discovery found and what the end of
// the run needs. The operations on it are free functions of the units that
// do the work: search_product_info and remove_uninstall_keys (discovery),
// remove_installshield_folders (files).
#include <string>
#include <vector>

#include "replay/log/log.hpp"

namespace remover {

struct product_remover {
    explicit product_remover(const std::string& name) : product_name(name) {}

    std::string install_dir;     // ends with a backslash once resolved
    // Why install_dir may not be the product's (product_folder.hpp); empty
    // when it may be. A refused folder is neither removed nor started from.
    std::string install_dir_refusal;
    std::string version_string;  // DisplayVersion as found
    int version = -1;            // version code
    std::string user_email;      // from the shared suite
    bool submit_log = false;     // cleared when the main log file cannot be created
    replay::log::file_identity log_identity;  // the main log file the run wrote
    bool log_whole = true;                    // every line reached the main log file
    std::string temp_log_base;                // the temporary folder's log, without ".log.txt"
    replay::log::file_identity temp_log_identity;
    bool temp_log_whole = false;              // every line reached the temporary folder's log
    std::string product_name;
    std::vector<std::wstring> uninstall_keys;  // Uninstall subkeys of the product
};

}  // namespace remover
