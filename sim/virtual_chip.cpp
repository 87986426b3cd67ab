#include "virtual_chip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>

#include "clock.h"
#include "wire.h"
#include "wire_speed.h"

const char loaderBannerText[] =
    "\r\nDS89C420 LOADER VERSION 1.0  COPYRIGHT (C) 2000 DALLAS SEMICONDUCTOR\r\n> ";
const char wakeUpFaults[] = "none echo cut awake wrong sister noise";

bool wakeUpFault(const std::string &name, ChipFaults &faults) {
    // Framing errors read as zeros and runs of high bits, as when the chip
    // sends at a quarter of the host's speed.
    static const char noise[] = "\x00\xF8\x80\xE6\x1E\x98\x00\xFE\x60\x78\x80\x00\xE0\x9E\x06\xF8"
                                "\x00\x80\x18\xFC";
    if (name == "none") {
        faults.silent = true;
    } else if (name == "echo") {
        faults.echo = true;
    } else if (name == "cut") {
        faults.sendAtMost = 40;
    } else if (name == "awake") {
        faults.awake = true;
    } else if (name == "wrong") {
        faults.banner = "\r\nDS89C420 LOADER VERSION 2.0\r\n> ";
    } else if (name == "sister") {
        faults.banner = "\r\nDS89C430 LOADER VERSION 2.1  COPYRIGHT (C) 2002 DALLAS SEMICONDUCTOR\r\n> ";
    } else if (name == "noise") {
        faults.banner = std::string(noise, sizeof noise - 1);
        faults.sendAtMost = sizeof noise - 1;
    } else {
        return false;
    }
    return true;
}

namespace {

using Nanos = int64_t;
const Nanos nanosPerMicro = 1000;
const Nanos noneDue = INT64_MAX;
const char prompt[] = "\r\n> ";

struct OutByte {
    Nanos due;  // when its last bit reaches the host
    char byte;
    bool verdict;
};

// What the chip keeps between the bytes of a session.
struct Chip {
    const ChipOptions &options;
    ChipSession &session;
    int &fd;
    enum Mode { asleep, command, load } mode = asleep;
    ChipStage stage = stageWake;
    std::string commandLine;
    std::string recordLine;
    bool swallowLineFeed = false;
    bool afterPromptSent = false;
    bool wokenUp = false;  // a host has sent the wake-up
    std::deque<OutByte> outgoing;
    Nanos byteNanos = 0;  // one byte's time on the wire
    Nanos lastArrival = 0;
    Nanos outFree = 0;  // when the line out is free for the next byte
    Nanos loadStart = 0;
    long bytesSent = 0;

    Chip(const ChipOptions &chipOptions, ChipSession &chipSession, int &masterFd)
        : options(chipOptions), session(chipSession), fd(masterFd) {}
};

Nanos micros(long count) { return count * nanosPerMicro; }

// ---- The wire: bytes take their time both ways at the host's speed. ----

Nanos reaction(const Chip &chip) {
    return chip.options.realTiming ? micros(chipReactionMicros) : 0;
}

void readWireSpeed(Chip &chip) {
    int baud = wireBaud(chip.fd);
    if (chip.session.baud == 0) chip.session.baud = baud;
    chip.byteNanos = chip.options.realTiming && baud > 0 ? bitsPerByte * 1000000000LL / baud : 0;
}

// Queues a reply; each byte reaches the host once its bits are sent.
void send(Chip &chip, const std::string &text, Nanos earliest, bool verdict = false) {
    Nanos start = std::max(chip.outFree, earliest);
    const ChipFaults &faults = chip.options.faults;
    for (char byte : text) {
        if (faults.sendAtMost > 0 && chip.bytesSent >= faults.sendAtMost) break;
        if (chip.bytesSent > 0 && faults.burstBytes > 0 && chip.bytesSent % faults.burstBytes == 0)
            start += micros(faults.burstGapMicros);
        if (chip.bytesSent > 0) start += micros(faults.replyGapMicros);
        start += chip.byteNanos;
        chip.outgoing.push_back({start, byte, verdict});
        ++chip.bytesSent;
    }
    chip.outFree = start;
}

// Writes every reply byte that is due; false if the host is gone.
bool writeDue(Chip &chip, Nanos now) {
    if (chip.fd < 0) return false;
    std::string due;
    bool verdict = false;
    for (const OutByte &out : chip.outgoing) {
        if (out.due > now) break;
        due += out.byte;
        if (out.verdict) chip.session.verdictLateMicros += (now - out.due) / 1e3;
        verdict = verdict || out.verdict;
    }
    if (due.empty()) return true;
    ssize_t written = write(chip.fd, due.data(), due.size());
    if (written < 0) return errno == EAGAIN || errno == EINTR;
    chip.outgoing.erase(chip.outgoing.begin(), chip.outgoing.begin() + written);
    if (verdict) chip.session.loadSeconds = (now - chip.loadStart) / 1e9;
    return true;
}

Nanos nextDue(const Chip &chip) {
    return chip.outgoing.empty() ? noneDue : chip.outgoing.front().due;
}

bool verdictPending(const Chip &chip) {
    return std::any_of(chip.outgoing.begin(), chip.outgoing.end(),
                       [](const OutByte &out) { return out.verdict; });
}

// ---- The dialog: the wake-up, then commands until the load command. ----

void protocolError(Chip &chip, const std::string &what) {
    chip.session.protocolErrors.push_back(what);
}

void hangUp(Chip &chip) {
    close(chip.fd);
    chip.fd = -1;
    chip.session.hungUp = true;
}

void runCommand(Chip &chip, Nanos at) {
    const ChipFaults &faults = chip.options.faults;
    std::string line = chip.commandLine;
    chip.commandLine.clear();
    if (!line.empty() && line[0] == faults.hangUpOnCommand) return hangUp(chip);
    if (!line.empty() && line[0] == faults.wrongReplyTo) return send(chip, faults.wrongReply, at);
    send(chip, "\r\n", at + reaction(chip));
    if (line.empty()) {
        send(chip, prompt, at);
        if (!chip.afterPromptSent) send(chip, faults.afterPrompt, at);
        chip.afterPromptSent = true;
    } else if (line == "K") {
        chip.session.memory.erase();
        send(chip, prompt + faults.afterClear, at + micros(chip.options.eraseMicros));
    } else if (line == "LB") {
        chip.mode = Chip::load;
        chip.swallowLineFeed = true;
        chip.loadStart = at;
    } else {
        protocolError(chip, "unknown command " + line);
        send(chip, prompt, at);
    }
}

void wake(Chip &chip, char byte, Nanos at) {
    chip.session.received[stageWake] += byte;
    if (byte != '\r') {
        if (byte != '\n') protocolError(chip, "byte before the wake-up");
        return;
    }
    chip.wokenUp = true;
    const ChipFaults &faults = chip.options.faults;
    if (faults.silent) return;
    chip.mode = Chip::command;
    // Awake already, the loader takes the carriage return as an empty command.
    if (faults.awake) return runCommand(chip, at);
    send(chip, faults.banner.empty() ? loaderBannerText : faults.banner, at + reaction(chip));
}

// Commands are echoed as they are typed, and run at the carriage return.
void commandByte(Chip &chip, char byte, Nanos at) {
    if (chip.commandLine.empty() && byte != '\r' && byte != '\n')
        chip.stage = byte == 'K' ? stageClear : byte == 'L' ? stageLoadCommand : stageOther;
    chip.session.received[chip.stage] += byte;
    if (byte == '\n') return;
    if (byte == '\r') return runCommand(chip, at);
    chip.commandLine += byte;
    if (chip.commandLine[0] != chip.options.faults.wrongReplyTo)
        send(chip, std::string(1, byte), at + reaction(chip));
}

// ---- The load: one verdict a record. ----

char verdictFor(Chip &chip, const std::string &record) {
    const ChipFaults &faults = chip.options.faults;
    ChipSession &session = chip.session;
    Judgement judgement{'G', ""};
    if (faults.rejectLine == session.lines)
        judgement = {faults.rejectVerdict, "rejected as asked"};
    else if (chip.options.judgeRecords)
        judgement = judgeRecord(record, session.memory);
    if (judgement.verdict != 'G') {
        session.rejected.push_back({session.lines, judgement.verdict, judgement.why});
        if (chip.options.log)
            fprintf(chip.options.log, "line %ld rejected with %c: %s\n", session.lines,
                    judgement.verdict, judgement.why.c_str());
    }
    return judgement.verdict;
}

void completeLine(Chip &chip, Nanos at) {
    const ChipFaults &faults = chip.options.faults;
    long line = ++chip.session.lines;
    std::string record = chip.recordLine;
    chip.recordLine.clear();
    if (!record.empty() && record.back() == '\r') record.pop_back();
    if (chip.options.onLine) chip.options.onLine(line);
    if (faults.hangUpAtLine == line) return hangUp(chip);
    char verdict = verdictFor(chip, record);
    if (faults.silentFromLine > 0 && line >= faults.silentFromLine) return;
    Nanos work = micros(chip.options.lineMicros) +
                 (faults.stallAtLine == line ? micros(faults.stallMicros) : 0);
    send(chip, std::string(1, verdict), at + reaction(chip) + work, true);
}

void loadByte(Chip &chip, char byte, Nanos at) {
    if (chip.swallowLineFeed && byte == '\n') {
        chip.session.received[stageLoadCommand] += byte;
        chip.swallowLineFeed = false;
        return;
    }
    chip.swallowLineFeed = false;
    chip.session.received[stageRecords] += byte;
    if (byte == '\n') return completeLine(chip, at);
    chip.recordLine += byte;
}

// ---- The session. ----

// A looped-back line: the host hears itself, and the chip nothing.
void echo(Chip &chip, char byte, Nanos at) {
    chip.session.received[stageWake] += byte;
    chip.wokenUp = chip.wokenUp || byte == '\r';
    send(chip, std::string(1, byte), at);
}

void handle(Chip &chip, char byte, Nanos at) {
    if (chip.options.faults.echo) return echo(chip, byte, at);
    if (chip.mode == Chip::asleep) return wake(chip, byte, at);
    if (chip.mode == Chip::command) return commandByte(chip, byte, at);
    loadByte(chip, byte, at);
}

// Takes what the host wrote; false once the host has closed the port.
// Each byte is handled at once, stamped with the time its last bit
// reaches the chip over the wire, and replies are timed from that.
bool readFromHost(Chip &chip) {
    char chunk[4096];
    ssize_t got = read(chip.fd, chunk, sizeof chunk);
    if (got == 0) return false;
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    Nanos seen = monotonicNanos();
    if (chip.session.firstByteSeconds == 0) chip.session.firstByteSeconds = seen / 1e9;
    if (chip.mode == Chip::load && verdictPending(chip))
        protocolError(
            chip, "line " + std::to_string(chip.session.lines + 1) + " sent before the verdict");
    readWireSpeed(chip);
    for (ssize_t i = 0; i < got && chip.fd >= 0; ++i) {
        chip.lastArrival = std::max(chip.lastArrival, seen) + chip.byteNanos;
        handle(chip, chunk[i], chip.lastArrival);
    }
    return true;
}

// Until a host has the port open, the chip holds it open itself, so that
// the master does not report a hang-up and the chip can sleep until the
// host's first byte.
int holdPort(int masterFd) {
    char path[128];
    if (ptsname_r(masterFd, path, sizeof path) != 0) return -1;
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// What the scheduler counts as this thread's time waiting on a run queue;
// 0 where the system does not say.
Nanos runQueueNanos() {
    std::ifstream stats("/proc/thread-self/schedstat");
    unsigned long long running = 0, waiting = 0;
    return stats >> running >> waiting ? static_cast<Nanos>(waiting) : 0;
}

double threadCpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

// Sleeps until a reply byte is due (waking that much early to spin the
// rest), the host writes or hangs up, or the stop descriptor is readable.
// Returns the events on the master.
short sleepUntilDue(const Chip &chip, int stopFd, bool &stopNow) {
    Nanos spinNanos = micros(chip.options.spinMicros);
    Nanos due = nextDue(chip);
    timespec timeout{};
    bool limited = due != noneDue;
    if (limited) {
        Nanos sleep = std::max<Nanos>(0, due - monotonicNanos() - spinNanos);
        timeout = {static_cast<time_t>(sleep / 1000000000), static_cast<long>(sleep % 1000000000)};
    }
    pollfd watched[2] = {{chip.fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
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

void serveSession(int &masterFd, const ChipOptions &options, ChipSession &session, int stopFd) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // replies are timed to microseconds
    double cpuAtStart = threadCpuSeconds();
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    int hold = holdPort(masterFd);
    if (!options.faults.staleInput.empty()) leaveStaleInput(masterFd, options.faults.staleInput);
    Chip chip(options, session, masterFd);
    bool stopNow = false;
    Nanos queuedBeforeWake = 0;
    while (masterFd >= 0 && !stopNow) {
        if (session.firstByteSeconds == 0) queuedBeforeWake = runQueueNanos();
        short events = sleepUntilDue(chip, stopFd, stopNow);
        bool hostThere = true;
        if (events & POLLIN)
            hostThere = readFromHost(chip);
        else if (events & (POLLHUP | POLLERR))
            hostThere = false;
        // Once woken, the session lasts as long as the host keeps the port
        // open; a host that leaves before waking the chip is not a session.
        if (chip.wokenUp && hold >= 0) {
            close(hold);
            hold = -1;
        }
        if (!hostThere && !chip.wokenUp && masterFd >= 0) {
            if (hold < 0) hold = holdPort(masterFd);
            if (hold < 0) usleep(10000);  // the port is exclusive to someone else
            continue;
        }
        if (!hostThere || !writeDue(chip, monotonicNanos())) break;
    }
    if (hold >= 0) close(hold);
    session.endSeconds = secondsNow();
    if (session.firstByteSeconds > 0)
        session.cpuQueueMicros = (runQueueNanos() - queuedBeforeWake) / 1e3;
    session.cpuSeconds = threadCpuSeconds() - cpuAtStart;
}
