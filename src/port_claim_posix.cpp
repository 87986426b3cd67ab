#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "console.h"
#include "port_claim.h"

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

volatile sig_atomic_t claimedHandle = -1;
#ifdef __linux__
serial_struct oldSerialInfo;
volatile sig_atomic_t lowLatencySet = 0;
#endif

// Signals whose default action ends the process. SIGKILL cannot be caught;
// SIGPIPE is ignored for the whole run.
const int endingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The run still ends by the signal, as the caller expects, once the port is
// free for the next one.
void releaseAndEndBySignal(int signalNumber) {
    releasePort();
    eraseProgressAfterSignal();
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    raise(signalNumber);
}

// Signals the caller chose to ignore (nohup, say) stay ignored, and handlers
// already in place (a sanitizer's) are kept.
void catchIfDefault(int signalNumber) {
    struct sigaction current;
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction release = {};
    release.sa_handler = releaseAndEndBySignal;
    sigfillset(&release.sa_mask);
    sigaction(signalNumber, &release, nullptr);
}

void catchEndingSignals() {
    for (int signalNumber : endingSignals) catchIfDefault(signalNumber);
#ifdef SIGRTMIN
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
        catchIfDefault(signalNumber);
#endif
}

}  // namespace

PortClaim claimPort(intptr_t portHandle) {
    int port = static_cast<int>(portHandle);
    if (flock(port, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? portHeldElsewhere : portNotClaimed;
    claimedHandle = port;
    static bool releaseAtExit = atexit(releasePort) == 0;
    (void)releaseAtExit;
    catchEndingSignals();
#ifdef TIOCEXCL
    ioctl(port, TIOCEXCL);
#endif
    return portClaimed;
}

void askForLowLatency() {
#ifdef __linux__
    serial_struct serialInfo;
    if (ioctl(claimedHandle, TIOCGSERIAL, &serialInfo) != 0) return;
    oldSerialInfo = serialInfo;
    serialInfo.flags |= ASYNC_LOW_LATENCY;
    lowLatencySet = ioctl(claimedHandle, TIOCSSERIAL, &serialInfo) == 0;
#endif
}

void releasePort() {
    if (claimedHandle < 0) return;
#ifdef __linux__
    if (lowLatencySet) ioctl(claimedHandle, TIOCSSERIAL, &oldSerialInfo);
    lowLatencySet = 0;
#endif
#ifdef TIOCNXCL
    ioctl(claimedHandle, TIOCNXCL);
#endif
    claimedHandle = -1;
}
