// The subcommands of qelsrv. Each lives in its own <name>_command.cpp, which
// defines its Register...Command function: the function adds the subcommand
// to the application with its options and the callback that runs it. A
// callback reports failure by throwing: CLI::RuntimeError(code) ends qelsrv
// with that exit code, any other std::exception prints its text and exits 1.
#pragma once

#include <CLI/CLI.hpp>

namespace qelsrv {

// One line per command, in the order `qelsrv --help` lists them, e.g.
//   void RegisterDiskInfoCommand(CLI::App& app);
void RegisterChecklistCommand(CLI::App& app);
void RegisterUpdateCommand(CLI::App& app);
void RegisterDiskInfoCommand(CLI::App& app);
void RegisterDeleteCommand(CLI::App& app);
void RegisterDirsyncCommand(CLI::App& app);

// Calls every Register...Command above (main.cpp).
void RegisterCommands(CLI::App& app);

} // namespace qelsrv
