#include "virtual_chip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "clock.h"
#include "pty_port.h"
#include "wire_speed.h"

namespace {

// Writes every reply byte that is due; false if the host is gone.
bool writeDue(RomLoader &chip, int fd) {
    if (fd < 0) return false;
    Nanos now = monotonicNanos();
    size_t count = dueCount(chip, now);
    if (count == 0) return true;
    std::string due;
    for (size_t i = 0; i < count; ++i) due += chip.outgoing[i].byte;
    ssize_t written = write(fd, due.data(), due.size());
    if (written < 0) return errno == EAGAIN || errno == EINTR;
    handedOver(chip, written, now);
    return true;
}

// Takes what the host wrote; false once the host has closed the port.
bool readFromHost(RomLoader &chip, int &fd) {
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return false;
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    setWireSpeed(chip, wireBaud(fd));
    receive(chip, chunk, got, monotonicNanos());
    if (chip.session.hungUp) {
        close(fd);
        fd = -1;
    }
    return true;
}

double threadCpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

// Sleeps until a reply byte is due (waking that much early to spin the
// rest), the host writes or hangs up, or the stop descriptor is readable.
// Returns the events on the master.
short sleepUntilDue(const RomLoader &chip, int fd, int stopFd, bool &stopNow) {
    Nanos spinNanos = chip.options.spinMicros * Nanos{1000};
    Nanos due = nextDue(chip);
    timespec timeout{};
    bool limited = due != noneDue;
    if (limited) {
        Nanos sleep = std::max<Nanos>(0, due - monotonicNanos() - spinNanos);
        timeout = {static_cast<time_t>(sleep / 1000000000), static_cast<long>(sleep % 1000000000)};
    }
    pollfd watched[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    ppoll(watched, stopFd >= 0 ? 2 : 1, limited ? &timeout : nullptr, nullptr);
    stopNow = watched[1].revents != 0;
    if (limited && watched[0].revents == 0 && due - monotonicNanos() <= spinNanos) {
        while (monotonicNanos() < due) continue;
    }
    return watched[0].revents;
}

// Bytes written now wait in the port's input for the host to open it. The
// port echoes them, as a fresh port does: that echo is not the host's.
void leaveStaleInput(int masterFd, const std::string &bytes) {
    if (write(masterFd, bytes.data(), bytes.size()) < 0) return;
    char echo[256];
    for (size_t taken = 0; taken < bytes.size();) {
        pollfd master{masterFd, POLLIN, 0};
        if (poll(&master, 1, 1000) <= 0) return;
        ssize_t got = read(masterFd, echo, std::min(sizeof echo, bytes.size() - taken));
        if (got <= 0) return;
        taken += got;
    }
}

}  // namespace

Nanos runQueueNanos() {
    std::ifstream stats("/proc/thread-self/schedstat");
    unsigned long long running = 0, waiting = 0;
    return stats >> running >> waiting ? static_cast<Nanos>(waiting) : 0;
}

void serveSession(int &masterFd, const ChipOptions &options, ChipSession &session, int stopFd,
                  const std::function<void()> &settled) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // replies are timed to microseconds
    // Until a host has the port open, the chip holds it open itself, so
    // that the master does not report a hang-up and the chip can sleep
    // until the host's first byte.
    double cpuAtStart = threadCpuSeconds();
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    int hold = openSlaveOf(masterFd);
    if (!options.faults.staleInput.empty()) leaveStaleInput(masterFd, options.faults.staleInput);
    if (settled) settled();
    RomLoader chip(options, session);
    bool stopNow = false;
    Nanos queuedBeforeWake = 0;
    while (masterFd >= 0 && !stopNow) {
        if (session.firstByteSeconds == 0) queuedBeforeWake = runQueueNanos();
        short events = sleepUntilDue(chip, masterFd, stopFd, stopNow);
        bool hostThere = true;
        if (events & POLLIN)
            hostThere = readFromHost(chip, masterFd);
        else if (events & (POLLHUP | POLLERR))
            hostThere = false;
        // Once woken, the session lasts as long as the host keeps the port
        // open; a host that leaves before waking the chip is not a session.
        if (chip.wokenUp && hold >= 0) {
            close(hold);
            hold = -1;
        }
        if (!hostThere && !chip.wokenUp && masterFd >= 0) {
            if (hold < 0) hold = openSlaveOf(masterFd);
            if (hold < 0) usleep(10000);  // the port is exclusive to someone else
            continue;
        }
        if (!hostThere || !writeDue(chip, masterFd)) break;
    }
    if (hold >= 0) close(hold);
    session.endSeconds = secondsNow();
    if (session.firstByteSeconds > 0)
        session.cpuQueueMicros = (runQueueNanos() - queuedBeforeWake) / 1e3;
    session.cpuSeconds = threadCpuSeconds() - cpuAtStart;
}
