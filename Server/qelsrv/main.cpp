// qelsrv: pushes tasks to client PCs, one subcommand per task.
#include "commands.h"

#include <exception>
#include <iostream>

#ifndef QELSRV_VERSION
#define QELSRV_VERSION "0"
#endif

namespace qelsrv {

void RegisterCommands(CLI::App& app)
{
    // each command adds its Register...Command call here
    RegisterChecklistCommand(app);
    RegisterUpdateCommand(app);
    RegisterDiskInfoCommand(app);
    RegisterDeleteCommand(app);
    RegisterDirsyncCommand(app);
}

// The command line parsed and its command run; what a command throws beyond
// the command line's own errors reaches main.
int Run(int argc, char** argv)
{
    CLI::App app{"qelsrv: pushes tasks to QEL client PCs"};
    app.set_version_flag("--version", std::string("qelsrv ") + QELSRV_VERSION);
    app.require_subcommand(0, 1);
    RegisterCommands(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& error) {
        // How a command ends with its own exit code.
        return error.get_exit_code();
    } catch (const CLI::ParseError& error) {
        // --help and --version end with 0; a refused command line with 2.
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (app.get_subcommands().empty())
        std::cout << app.help();
    return 0;
}

} // namespace qelsrv

int main(int argc, char** argv)
{
    // Also what the building of the command line throws (out of memory):
    // one line and status 1, never an abort.
    try {
        return qelsrv::Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "qelsrv: " << error.what() << '\n';
        return 1;
    }
}
