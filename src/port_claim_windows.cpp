#include <windows.h>

#include "console.h"
#include "port_claim.h"

namespace {

// Ctrl-C and Ctrl-Break still end the run as they always do, on a clean line.
BOOL WINAPI onConsoleControl(DWORD) {
    eraseProgressAfterSignal();
    return FALSE;
}

}  // namespace

// The port is opened for this process alone, which Windows enforces: that
// open was the claim, and what is left of it cannot be refused.
PortClaim claimPort(intptr_t) {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    return portClaimed;
}

// An FTDI adapter's latency is a setting of its driver (Device Manager, Port
// Settings, Advanced): the program does not change the registry.
void askForLowLatency() {}

// Windows gives the port up when the process ends, however it ends.
void releasePort() {}
