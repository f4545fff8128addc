#pragma once
// Whether the product can still be found once the run is over, read-only:
// what a detection script of a deployment tool would otherwise guess at.
#include <string>
#include <vector>

namespace remover {

// What of the product is still there, one text per find (empty when
// nothing): an Uninstall entry with the product's display name (both
// registry views), the installation folder, a service whose program lies in
// that folder (install_dir, in the ANSI code page), and the Windows Installer registration of the product's
// upgrade code. Changes nothing; raises nothing (a check that cannot be made
// counts as nothing found, and says so in its text only when it finds).
std::vector<std::string> product_left(const std::string& install_dir);

}  // namespace remover
