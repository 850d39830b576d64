// QELCltCore: the host process of the client core. Loads QekCore.dll from its
// own folder, starts the service and runs until it is asked to stop.
//
//   QELCltCore [--console]          runs in the console until Ctrl+C (SIGINT,
//                                   SIGTERM on POSIX)
//   QELCltCore --install [--account NAME [--password-file FILE]]
//                                   (the account's password from the file
//                                   or standard input, never the command line)
//   QELCltCore --uninstall          the Windows service (ServiceMode.h)
//   QELCltCore --service            the command line the SCM starts
#include "CoreLibrary.h"
#include "Readiness.h"
#include "ServiceMode.h"
#include "StopSignal.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

void PrintUsage()
{
    std::fprintf(stderr, "usage: QELCltCore [--console]\n"
                         "       QELCltCore --install [--account NAME [--password-file FILE]]\n"
                         "                  (without --password-file the password is read from standard input)\n"
                         "       QELCltCore --uninstall\n"
                         "       QELCltCore --service   (started by the service control manager)\n");
}

// In the console: starts the service and runs until the stop request.
int RunInConsole()
{
    // Before the core is loaded: the service's threads must not take the stop
    // request away from this thread.
    PrepareStopSignal();

    CoreLibrary core;
    std::string error;
    unsigned long systemError = 0;
    if (!core.Load(error, systemError)) {
        std::fprintf(stderr, "QELCltCore: %s\n", error.c_str());
        return 2;
    }

    int32_t detail = 0;
    const int32_t status = core.Start(detail);
    if (status != QEK_STATUS_RUNNING) {
        std::fprintf(stderr, "QELCltCore: the service did not start: status %ld, detail %ld\n",
                     static_cast<long>(status), static_cast<long>(detail));
        return 1;
    }
    std::printf("QELCltCore: %s\n", RunningLine().c_str());
    std::fflush(stdout);
    NotifyReady();

    WaitForStopSignal();
    NotifyStopping();
    core.Stop();
    AcknowledgeStopSignal();
    std::printf("QELCltCore: service stopped\n");
    std::fflush(stdout);
    return 0;
}

// The options after --install; false (having said why) when they are not
// usable.
bool ParseInstallOptions(int argc, char** argv, InstallOptions& options)
{
    for (int i = 2; i < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--password") {
            std::fprintf(stderr, "QELCltCore: --password is not taken: a password on the command line can be read in "
                                 "every process list and in the shell's history. Type it when asked, pipe it to "
                                 "standard input, or name a file that holds it with --password-file FILE\n");
            return false;
        }
        if (i + 1 >= argc || (option != "--account" && option != "--password-file")) {
            PrintUsage();
            return false;
        }
        (option == "--account" ? options.account : options.passwordFile) = argv[i + 1];
    }
    if (options.passwordFile && !options.account) {
        std::fprintf(stderr, "QELCltCore: --password-file belongs to an --account\n");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1 || (argc == 2 && std::string_view(argv[1]) == "--console")) {
        return RunInConsole();
    }
    const std::string_view command = argv[1];
    if (command == "--service" && argc == 2) {
        return RunAsService();
    }
    if (command == "--uninstall" && argc == 2) {
        return UninstallService();
    }
    if (command == "--install") {
        InstallOptions options;
        if (!ParseInstallOptions(argc, argv, options)) {
            return 2;
        }
        return InstallService(options);
    }
    PrintUsage();
    return 2;
}
