// POSIX: systemd (or any supervisor) runs the console host itself; there is
// no service registration of the host's own.
#include "ServiceMode.h"

#include <cstdio>

namespace {

int NotOnThisSystem(const char* what)
{
    std::fprintf(stderr,
                 "QELCltCore: %s is for Windows; here the service manager runs QELCltCore itself "
                 "(systemctl enable --now qel-client)\n",
                 what);
    return 2;
}

} // namespace

int InstallService(const InstallOptions&)
{
    return NotOnThisSystem("--install");
}

int UninstallService()
{
    return NotOnThisSystem("--uninstall");
}

int RunAsService()
{
    return NotOnThisSystem("--service");
}
