#pragma once
// The run's log files: the console and ZENQORemover.log.txt in the current
// folder and in the temporary folder, attached at the start; whether each got
// every line, noted before the log shuts down; and the one offered to
// support at the end.
#include <optional>
#include <string>

#include "remover/common/product_remover.hpp"

namespace remover {

// Attaches the console and both log files. A current folder's log that cannot
// be created gets its box and no submission at the end. Returns why the
// temporary folder's copy could not be opened, or nothing: like the current
// folder's, it is optional, and the run goes on without it.
std::optional<std::string> attach_log_files(product_remover& remover);

// Notes in remover whether each log file got every line; called before the
// log shuts down.
void note_whole_logs(product_remover& remover);

// Offers the log to support: the current folder's, or the temporary folder's
// where only that one is whole. Without a log file it keeps the console
// readable for a moment instead.
void submit_log_or_wait(product_remover& remover, const std::string& program);

}  // namespace remover
