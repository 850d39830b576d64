// Windows: a console run has no service manager to tell; the service reports
// its state to the SCM itself (ServiceMode_windows.cpp).
#include "Readiness.h"

void NotifyReady() { }

void NotifyStopping() { }
