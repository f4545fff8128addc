#pragma once
// Finding the installed product: its Uninstall entries, version and folder.
#include <string>

#include "remover/common/product_remover.hpp"

namespace remover {

// Version codes of the version texts D.D.D, D.D.DD and D.D.DDD:
// first digit * 10000 + second digit * 1000 + build; -1 for other texts.
int version_code(const std::string& text);

constexpr int oldest_normalised_version = 21001;  // 2.1.1
constexpr int newest_tested_version = 21005;      // 2.1.5

// Decides the installation folder once discovery has run: logs the version,
// normalises the folder, or falls back to the stored application path or the
// default folder. Always leaves an absolute folder ending with a backslash
// unless the stored path says otherwise. Decides whether that folder may be
// the product's (product_folder_refusal); a refused folder is said where its
// removal would be.
void resolve_install_folder(product_remover& remover);

// Finds the product's Uninstall entries by display name and reads its
// version and installation folder from them into remover. True when both
// were found.
bool search_product_info(product_remover& remover);

// Deletes every Uninstall entry found; false when none was found.
bool remove_uninstall_keys(const product_remover& remover);

}  // namespace remover
