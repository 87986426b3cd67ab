#include "program_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "clock.h"
#include "pty_port.h"
#include "wire_speed.h"

namespace {

// Runs the chip in slices: at the crystal's pace, each slice brings chip
// time up to the time since the start; otherwise a slice is 10 ms of chip
// time, as fast as it goes. Between slices, what was sent goes out and
// what came in is taken.
template <typename Peer>
char watch(ProgramRun &run, Peer &peer, bool realTime, int stopFd) {
    double start = secondsNow();
    std::vector<SerialByte> sent;
    Clocks slice = clocksAt(run.chip, 0.01);
    while (run.end == RunEnd::running) {
        Clocks target = realTime ? clocksAt(run.chip, secondsNow() - start) : run.chip.clocks + slice;
        advanceRun(run, target, sent);
        peer.deliver(run, sent);
        sent.clear();
        pollfd watched[2] = {{peer.input, POLLIN, 0}, {stopFd, POLLIN, 0}};
        poll(watched, 2, realTime && run.end == RunEnd::running ? 1 : 0);
        char request = 0;
        if (watched[1].revents && read(stopFd, &request, 1) == 1) return request;
        if (watched[0].revents) peer.take(run);
    }
    return 0;
}

struct StandardStreams {
    int input = STDIN_FILENO;

    void deliver(ProgramRun &, const std::vector<SerialByte> &sent) {
        for (const SerialByte &out : sent) putchar(out.byte);
        fflush(stdout);
    }

    // What comes in waits for the program to take it, a byte at a time.
    void take(ProgramRun &run) {
        uint8_t bytes[4096];
        ssize_t got = read(input, bytes, sizeof bytes);
        if (got > 0)
            holdInputForReceiver(run.chip, bytes, static_cast<size_t>(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            input = -1;
    }
};

// A mismatch that lasts this long is told: a host setting the port's speed
// (hexpush going, a terminal coming) passes through others on the way.
const double toldAfterSeconds = 1;

struct PseudoTerminal {
    int input;
    FILE *log;
    std::set<int> toldSpeeds;  // port speeds a mismatch was told for
    double mismatchSince = -1;  // chip time of the first byte that did not cross

    bool matches(const ChipCore &chip, double programBaud) {
        int portBaud = wireBaud(input);
        if (speedsMatch(programBaud, portBaud)) {
            mismatchSince = -1;
            return true;
        }
        double now = chipSeconds(chip);
        if (mismatchSince < 0) mismatchSince = now;
        if (now - mismatchSince < toldAfterSeconds) return false;
        if (programBaud > 0 && log && toldSpeeds.insert(portBaud).second) {
            fprintf(log, "hexpush-sim: the program's serial port is at %.0f baud, its port at %d: nothing crosses until they match\n",
                    programBaud, portBaud);
            fflush(log);
        }
        return false;
    }

    void deliver(ProgramRun &run, const std::vector<SerialByte> &sent) {
        for (const SerialByte &out : sent) {
            if (matches(run.chip, out.baud) && write(input, &out.byte, 1) != 1) {
                // A port nobody reads fills up: the byte is lost, as on a wire.
            }
        }
    }

    void take(ProgramRun &run) {
        uint8_t bytes[4096];
        ssize_t got = read(input, bytes, sizeof bytes);
        if (got > 0 && matches(run.chip, receiveBaud(run.chip)))
            serialReceive(run.chip, bytes, static_cast<size_t>(got), wireBaud(input), run.chip.clocks);
    }
};

}  // namespace

char runOnStandardStreams(ProgramRun &run, bool realTime, int stopFd) {
    StandardStreams streams;
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    return watch(run, streams, realTime, stopFd);
}

char runOnPort(ProgramRun &run, int masterFd, int stopFd, FILE *log) {
    // The chip holds the port open itself, so that hosts may come and go,
    // and takes its echo away: a port left cooked would send the program's
    // own bytes back to it.
    int hold = openSlaveOf(masterFd);
    termios settings;
    if (hold >= 0 && tcgetattr(hold, &settings) == 0) {
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(hold, TCSANOW, &settings);
    }
    PseudoTerminal port{masterFd, log, {}};
    char request = watch(run, port, true, stopFd);
    if (hold >= 0) close(hold);
    return request;
}
