#pragma once
// The files an administrator or a deployment tool acts on after the run: the
// registry backup in the administrators' folder (named in the log with its
// SHA-256 once the registry is no longer changed) and the result file beside
// it, named in the log's last lines.
#include <string>

namespace remover {

// Remembers when the run began. Called first.
void note_run_start();

// Prepares %ProgramData%\ZENQORemover\Backups\ and starts the registry
// backup there; when the folder is refused, says so once and the run writes
// no backup. install_dir is the product's folder, checked again at the end.
void start_run_files(const std::string& install_dir);

// After the run's last registry change (or after an internal error): closes
// the backup and names it with its SHA-256, checks read-only what is left of
// the product, writes ZENQORemover.result.json and names it. Once per run;
// raises nothing.
void finish_run_files();

}  // namespace remover
