#pragma once
// The program's spine: start-up checks, product discovery and the fixed
// sequence of removal steps, each opened by a header and closed by a
// separator line.
#include <string>

#include "remover/common/product_remover.hpp"

namespace remover {

// Runs the whole removal; returns the process exit code.
int run();

// Logs the abnormal end, closes the log and exits the process with code 1.
[[noreturn]] void finish_abnormally();

void close_running_applications(product_remover& remover);

}  // namespace remover
