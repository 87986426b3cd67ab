#include "virtual_chip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <deque>

const char loaderBannerText[] =
    "\r\nDS89C420 LOADER VERSION 1.0  COPYRIGHT (C) 2000 DALLAS SEMICONDUCTOR\r\n> ";

namespace {

using Nanos = int64_t;
const Nanos nanosPerMicro = 1000;
const Nanos noneDue = INT64_MAX;
const char prompt[] = "\r\n> ";

Nanos nowNanos() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

int baudOf(speed_t speed) {
    static const struct {
        speed_t code;
        int baud;
    } rates[] = {
        {B300, 300},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
    };
    for (const auto &rate : rates) {
        if (rate.code == speed) return rate.baud;
    }
    return 0;
}

struct OutByte {
    Nanos due;
    char byte;
    bool verdict;
};

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
    Nanos byteNanos = 0;
    Nanos lastArrival = 0;
    Nanos outFree = 0;
    Nanos loadStart = 0;
    long bytesSent = 0;

    Chip(const ChipOptions &chipOptions, ChipSession &chipSession, int &masterFd)
        : options(chipOptions), session(chipSession), fd(masterFd) {}

    Nanos micros(long count) const { return count * nanosPerMicro; }
    Nanos reaction() const { return options.realTiming ? micros(options.reactionMicros) : 0; }

    void readWireSpeed() {
        termios settings;
        if (tcgetattr(fd, &settings) != 0) return;
        int baud = baudOf(cfgetospeed(&settings));
        if (session.baud == 0) session.baud = baud;
        byteNanos = options.realTiming && baud > 0 ? 10 * 1000000000LL / baud : 0;
    }

    // Queues a reply; each byte reaches the host once its 10 bits are sent.
    void send(const std::string &text, Nanos earliest, bool verdict = false) {
        Nanos start = std::max(outFree, earliest);
        const ChipFaults &faults = options.faults;
        for (char byte : text) {
            if (bytesSent > 0 && faults.burstBytes > 0 && bytesSent % faults.burstBytes == 0) {
                start += micros(faults.burstGapMicros);
            }
            if (bytesSent > 0) start += micros(faults.replyGapMicros);
            start += byteNanos;
            outgoing.push_back({start, byte, verdict});
            ++bytesSent;
        }
        outFree = start;
    }

    void protocolError(const std::string &what) { session.protocolErrors.push_back(what); }

    void wake(char byte, Nanos at) {
        session.received[stageWake] += byte;
        if (byte != '\r') {
            if (byte != '\n') protocolError("byte before the wake-up");
            return;
        }
        wokenUp = true;
        if (options.faults.silent) return;
        mode = command;
        const std::string &banner = options.faults.banner;
        Nanos answerAt = at + reaction() + micros(options.faults.wakeReactionMicros);
        send(banner.empty() ? loaderBannerText : banner, answerAt);
    }

    void hangUp() {
        close(fd);
        fd = -1;
        session.hungUp = true;
    }

    void runCommand(Nanos at) {
        if (!commandLine.empty() && commandLine[0] == options.faults.hangUpOnCommand) {
            return hangUp();
        }
        send("\r\n", at + reaction());
        if (commandLine.empty()) {
            send(prompt, at);
            if (!afterPromptSent) send(options.faults.afterPrompt, at);
            afterPromptSent = true;
        } else if (commandLine == "K") {
            session.memory.erase();
            send(prompt, at + micros(options.eraseMicros));
        } else if (commandLine == "LB") {
            mode = load;
            swallowLineFeed = true;
            loadStart = at;
        } else {
            protocolError("unknown command " + commandLine);
            send(prompt, at);
        }
        commandLine.clear();
    }

    void commandByte(char byte, Nanos at) {
        if (commandLine.empty() && byte != '\r' && byte != '\n') {
            stage = byte == 'K' ? stageClear : byte == 'L' ? stageLoadCommand : stageOther;
        }
        session.received[stage] += byte;
        if (byte == '\n') return;
        if (byte == '\r') return runCommand(at);
        commandLine += byte;
        bool garbled = options.faults.garbleEchoOf == commandLine[0];
        char echo = garbled ? static_cast<char>(tolower(static_cast<unsigned char>(byte))) : byte;
        send(std::string(1, echo), at + reaction());
    }

    char verdictFor(const std::string &record) {
        const ChipFaults &faults = options.faults;
        Judgement judgement{'G', ""};
        if (faults.rejectLine == session.lines)
            judgement = {faults.rejectVerdict, "rejected as asked"};
        else if (options.judgeRecords)
            judgement = judgeRecord(record, session.memory);
        if (judgement.verdict != 'G') {
            session.rejected.push_back({session.lines, judgement.verdict, judgement.why});
            if (options.log) {
                fprintf(options.log, "line %ld rejected with %c: %s\n", session.lines,
                        judgement.verdict, judgement.why.c_str());
            }
        }
        return judgement.verdict;
    }

    void completeLine(Nanos at) {
        ++session.lines;
        std::string record = recordLine;
        recordLine.clear();
        if (!record.empty() && record.back() == '\r') record.pop_back();
        const ChipFaults &faults = options.faults;
        if (faults.hangUpAtLine == session.lines) return hangUp();
        char verdict = verdictFor(record);
        if (faults.silentFromLine > 0 && session.lines >= faults.silentFromLine) return;
        Nanos work = options.realTiming ? micros(options.lineMicros) : 0;
        send(std::string(1, verdict), at + reaction() + work, true);
    }

    void loadByte(char byte, Nanos at) {
        if (swallowLineFeed && byte == '\n') {
            session.received[stageLoadCommand] += byte;
            swallowLineFeed = false;
            return;
        }
        swallowLineFeed = false;
        session.received[stageRecords] += byte;
        if (byte == '\n') return completeLine(at);
        recordLine += byte;
    }

    void handle(char byte, Nanos at) {
        if (mode == asleep) return wake(byte, at);
        if (mode == command) return commandByte(byte, at);
        loadByte(byte, at);
    }

    bool verdictPending() const {
        for (const OutByte &out : outgoing) {
            if (out.verdict) return true;
        }
        return false;
    }

    // Takes what the host wrote; false once the host has closed the port.
    // Each byte is handled at once, stamped with the time its last bit
    // reaches the chip over the wire, and replies are timed from that.
    bool readFromHost() {
        char chunk[4096];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) return false;
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        Nanos seen = nowNanos();
        if (mode == load && verdictPending()) {
            protocolError("line " + std::to_string(session.lines + 1) + " sent before the verdict");
        }
        readWireSpeed();
        for (ssize_t i = 0; i < got && fd >= 0; ++i) {
            lastArrival = std::max(lastArrival, seen) + byteNanos;
            handle(chunk[i], lastArrival);
        }
        return true;
    }

    // Writes every reply byte that is due; false if the host is gone.
    bool writeDue(Nanos now) {
        if (fd < 0) return false;
        std::string due;
        bool verdict = false;
        for (const OutByte &out : outgoing) {
            if (out.due > now) break;
            due += out.byte;
            if (out.verdict) session.verdictLateMicros += (now - out.due) / 1e3;
            verdict = verdict || out.verdict;
        }
        if (due.empty()) return true;
        ssize_t written = write(fd, due.data(), due.size());
        if (written < 0) return errno == EAGAIN || errno == EINTR;
        outgoing.erase(outgoing.begin(), outgoing.begin() + written);
        if (verdict) session.loadSeconds = (now - loadStart) / 1e9;
        return true;
    }

    // When the next reply byte is due; the chip sleeps until then, or until
    // the host writes.
    Nanos nextDue() const { return outgoing.empty() ? noneDue : outgoing.front().due; }
};

// Until a host has the port open, the chip holds it open itself, so that
// the master does not report a hang-up and the chip can sleep until the
// host's first byte.
int holdPort(int masterFd) {
    char path[128];
    if (ptsname_r(masterFd, path, sizeof path) != 0) return -1;
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

double threadCpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

// Sleeps until a reply byte is due (waking that much early to spin the
// rest), the host writes or hangs up, or the stop descriptor is readable.
// Returns the events on the master.
short sleepUntilDue(const Chip &chip, const ChipOptions &options, int masterFd, int stopFd,
                    bool &stopNow) {
    Nanos spinNanos = options.spinMicros * nanosPerMicro;
    Nanos due = chip.nextDue();
    timespec timeout{};
    bool limited = due != noneDue;
    if (limited) {
        Nanos sleep = std::max<Nanos>(0, due - nowNanos() - spinNanos);
        timeout = {static_cast<time_t>(sleep / 1000000000), static_cast<long>(sleep % 1000000000)};
    }
    pollfd watched[2] = {{masterFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    ppoll(watched, stopFd >= 0 ? 2 : 1, limited ? &timeout : nullptr, nullptr);
    stopNow = watched[1].revents != 0;
    if (limited && watched[0].revents == 0 && due - nowNanos() <= spinNanos) {
        while (nowNanos() < due) continue;
    }
    return watched[0].revents;
}

}  // namespace

void serveSession(int &masterFd, const ChipOptions &options, ChipSession &session, int stopFd) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // replies are timed to microseconds
    double cpuAtStart = threadCpuSeconds();
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    int hold = holdPort(masterFd);
    Chip chip(options, session, masterFd);
    bool stopNow = false;
    while (masterFd >= 0 && !stopNow) {
        short events = sleepUntilDue(chip, options, masterFd, stopFd, stopNow);
        bool hostThere = true;
        if (events & POLLIN)
            hostThere = chip.readFromHost();
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
        if (!hostThere || !chip.writeDue(nowNanos())) break;
    }
    if (hold >= 0) close(hold);
    session.cpuSeconds = threadCpuSeconds() - cpuAtStart;
}
