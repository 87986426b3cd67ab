// At a terminal and on a shared machine: the progress line, and the port
// taken for one run alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>

#include "clock.h"
#include "harness.h"
#include "wine_host.h"

namespace {

// 770 lines, a load of about three seconds at 115200 baud.
const std::string longFile = srecImage("0 0x3000", "16", "nl");

const HostSetup onTerminal = [] {
    HostSetup setup;
    setup.outputOnTerminal = setup.errorOnTerminal = true;
    return setup;
}();

// A load that lasts: a prompt chip that takes 2 ms over each line.
ChipOptions steadyChip() {
    ChipOptions options = promptChip();
    options.lineMicros = 2000;
    return options;
}

// Nothing but whole lines may be left on the screen, whatever ended the run.
TEST(Progress, DrawnWhileLoadingAndGoneHoweverTheRunEnds) {
    ChipOptions pauses = steadyChip();
    // Silences a second and more past the counts looked for, which a busy
    // machine may show late.
    pauses.eraseMicros = 2500000;
    pauses.faults.stallAtLine = 300;
    pauses.faults.stallMicros = 3500000;
    RunResult run = runHexpush({"PORT", longFile, "115200"}, pauses, 60, onTerminal);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(screenLines(run.screen), fourProgressLines);
    // Counted while lines move: the stall has draws of its own, once a second.
    long draws = 0;
    for (size_t at = 0; (at = run.screen.find("/770 lines", at)) != std::string::npos; ++at) ++draws;
    double moving = run.session.loadSeconds - pauses.faults.stallMicros / 1e6;
    EXPECT_GE(draws, 3) << "no progress shown during a long load";
    EXPECT_LE(draws, 10 * moving + 2) << "redrawn more than ten times a second";
    // Counted while it lasts, not only once the loader speaks again.
    for (const char *shown :
         {"Klearing memory...\r\n\r\033[K  loader silent 1 s\r",
          "loader silent 1 s  299 lines accepted", "loader silent 2 s  299 lines accepted"})
        EXPECT_NE(run.screen.find(shown), std::string::npos) << shown << " not in " << run.screen;
    EXPECT_TRUE(std::regex_search(
        run.screen,
        std::regex("\r\033\\[K  [0-9]+/770 lines  [0-9]+%  [0-9.]+ kB/s  [0-9]+:[0-9]{2} left\r")))
        << "no whole progress line in " << run.screen;

    // In 20 columns the lines and the percentage (20 characters) would reach
    // the last column: only the lines are left.
    ChipOptions hangsUp = steadyChip();
    hangsUp.faults.hangUpAtLine = 400;
    HostSetup narrow = onTerminal;
    narrow.columns = 20;
    RunResult lost = runHexpush({"PORT", longFile, "115200"}, hangsUp, 30, narrow);
    EXPECT_TRUE(std::regex_search(lost.screen, std::regex("\r\033\\[K  [0-9]{3}/770 lines\r")))
        << "no progress before line 400, or not fitted: " << lost.screen;
    std::string lastLine = screenLines(lost.screen).substr(strlen(loadStartLines));
    EXPECT_TRUE(std::regex_match(lastLine, std::regex(lost.port + ": .*\n")))
        << "the progress line was not erased before the message:\n"
        << screenLines(lost.screen);

    // In 12 columns the first field is cut, not dropped.
    ChipOptions interrupted = steadyChip();
    HostRun *host = nullptr;
    interrupted.onLine = [&host](long line) {
        if (line == 300) kill(host->pid, SIGINT);
    };
    ChipOnPort chip(interrupted);
    narrow.columns = 12;
    HostRun ctrlC = startHost(HEXPUSH_BINARY, {"PORT", longFile}, chip.port, narrow);
    host = &ctrlC;
    finishHosts({&ctrlC}, 30);
    EXPECT_EQ(ctrlC.signal, SIGINT);
    EXPECT_TRUE(std::regex_search(ctrlC.screen, std::regex("\r\033\\[K  [0-9]+/770 l\r")))
        << ctrlC.screen;
    EXPECT_EQ(screenLines(ctrlC.screen), std::string(loadStartLines)) << "not a clean line";
}

// 1 while the port is exclusive (an ordinary user cannot even open it then),
// 0 when it is not, -1 (errno says why) when that cannot be asked here.
int exclusiveMode(const std::string &port) {
    int slave = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) return errno == EBUSY ? 1 : -1;
    int exclusive = -1;
    ioctl(slave, TIOCGEXCL, &exclusive);
    close(slave);
    return exclusive;
}

bool becomesExclusive(const std::string &port) {
    for (int wait = 0; wait < 1000; ++wait, usleep(10000)) {
        if (exclusiveMode(port) == 1) return true;
    }
    return false;
}

// Those of the signals whose default action ends a process (signal(7)) that
// the process does not catch: all but SIGKILL and SIGSTOP can be, and SIGPIPE
// is ignored for the run.
std::string uncaughtEndingSignals(int pid) {
    std::string status = readWholeFile("/proc/" + std::to_string(pid) + "/status"), missing;
    unsigned long long caught = std::stoull(status.substr(status.find("SigCgt:") + 8, 16), 0, 16);
    for (int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
                             SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                             SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS, SIGRTMIN, SIGRTMAX})
        if (!(caught >> (signalNumber - 1) & 1)) missing += std::string(" ") + strsignal(signalNumber);
    return missing;
}

TEST(ExclusivePort, OtherProgramsAreRefusedAndEveryEndingGivesThePortBack) {
    if (exclusiveMode(ChipOnPort(promptChip()).port) < 0)
        SKIP_BECAUSE(std::string("the exclusive mode cannot be asked for here: ") + strerror(errno));
    // The first run is held at its tenth line until the second has ended,
    // however slowly the second starts; made again if it ended at the
    // wake-up with the chip kept from the CPU.
    const std::string inUse = ": Port is in use by another program\n";
    for (int attempt = 1;; ++attempt) {
        std::atomic<bool> secondEnded{false};
        ChipOptions holds = steadyChip();
        holds.onLine = [&secondEnded](long line) {
            while (line == 10 && !secondEnded) usleep(1000);
        };
        ChipOnPort chip{holds};
        letNobodyUse(chip.port);
        HostRun first = startHost(HEXPUSH_BINARY, {"PORT", longFile, "115200"}, chip.port);
        bool exclusive = becomesExclusive(chip.port);
        std::string uncaught = uncaughtEndingSignals(first.pid);
        HostRun second = startHost(HEXPUSH_BINARY, {"PORT", longFile}, chip.port, unprivileged);
        finishHosts({&second}, 30);
        secondEnded = true;
        finishHosts({&first}, 30);
        chip.finish();
        if (first.status != 0 && runAgain(attempt, keptFromCpuAsItWoke(chip.session))) continue;
        EXPECT_TRUE(exclusive) << "the port is not exclusive during a run";
        EXPECT_EQ(uncaught, "") << "a signal that ends the run would leave the port exclusive";
        expectEnding(second, 1, "",
                     chip.port + inUse + chip.port +
                         ": or a hexpush that was killed left it exclusive: see hexpush(1), "
                         "KILLED RUNS\n");
        expectEnding(first, 0, fourProgressLines, "");
        EXPECT_EQ(exclusiveMode(chip.port), 0) << "exclusive mode left behind by a complete load";
        EXPECT_TRUE(chip.session.received[stageRecords] == readWholeFile(longFile));
        break;
    }

    // A terminal program that takes the lock, as tio and picocom do.
    ChipOnPort locked{promptChip()};
    int holder = open(locked.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    HostRun refused = startHost(HEXPUSH_BINARY, {"PORT", longFile}, locked.port);
    finishHosts({&refused}, 10);
    expectEnding(refused, 1, "", locked.port + inUse);
    close(holder);

    // A signal that ends a run (one handler serves every such signal, seen
    // caught above), here while the loader clears its memory, and a failure
    // (-1): the next ordinary user then has the port.
    for (int ending : {SIGINT, -1}) {
        ChipOptions stalls = promptChip();
        stalls.eraseMicros = 60 * 1000 * 1000;
        stalls.faults.silent = ending == -1;
        ChipOnPort waiting{stalls};
        letNobodyUse(waiting.port);
        HostRun ended = startHost(HEXPUSH_BINARY, {"PORT", longFile}, waiting.port);
        EXPECT_TRUE(ending < 0 || becomesExclusive(waiting.port)) << "ended by " << ending;
        if (ending > 0) kill(ended.pid, ending);
        finishHosts({&ended}, 10);
        EXPECT_EQ(ending > 0 ? ended.signal : ended.status, ending > 0 ? ending : 1)
            << "ended by " << ending;
        waiting.reset(promptChip());
        HostRun next = startHost(HEXPUSH_BINARY, {"PORT", longFile}, waiting.port, unprivileged);
        finishHosts({&next}, 30);
        EXPECT_EQ(next.status, 0) << "after an ending by " << ending << ": " << next.err;
    }
}

// The Windows build in a Wine console, read as a screen: tmux shows what a
// user would see, whatever Wine's console sends to draw it. A name outside
// the console's code page reads as the user wrote it.
TEST(WineConsole, ProgressShownThenTheScreenHoldsTheFourLinesAndNamesAsWritten) {
    if (!buildProblem(Build::windows).empty())
        SKIP_BECAUSE("no Windows build under Wine: " + buildProblem(Build::windows));
    if (system("command -v tmux >/dev/null") != 0) SKIP_BECAUSE("tmux is not installed");
    ChipOnPort chip{steadyChip()};
    std::string com = linkComPort(chip.port);
    std::string tmux = "tmux -u -L hexpush-" + std::to_string(getpid()) + " ";
    std::string status = scratchFile("", ".status");
    std::string hexpush = commandFor(HEXPUSH_EXE);
    std::string command = hexpush + " " + com + " " + longFile + " 115200; s=\\$?; " + hexpush +
                          " COM1 /nonexistent/файл.hex; echo \\$s \\$? >" + status;
    std::string screen, progress;
    // A chip kept from the CPU as it woke says nothing of hexpush: run again.
    for (int attempt = 1;; ++attempt) {
        shell(tmux + "new-session -d -x 60 -y 12 \"" + command + "; sleep 600\"");
        for (double start = secondsNow(); readWholeFile(status).empty() && secondsNow() - start < 60;) {
            screen = shell(tmux + "capture-pane -p");
            if (screen.find(" lines  ") != std::string::npos) progress = screen;
            usleep(50000);
        }
        screen = shell(tmux + "capture-pane -p");
        shell(tmux + "kill-server");
        ChipSession served = chip.reset(steadyChip());
        if (readWholeFile(status) == "0 1\n" || !runAgain(attempt, keptFromCpuAsItWoke(served))) break;
        writeImageFile(status, "");
    }
    unlinkComPort(com);
    EXPECT_EQ(readWholeFile(status), "0 1\n");
    EXPECT_TRUE(std::regex_search(progress, std::regex("Loading file...\n  [0-9]+/770 lines")))
        << "no progress line seen:\n"
        << progress;
    EXPECT_EQ(std::regex_replace(screen, std::regex("\n+$"), "\n"),
              fourProgressLines + std::string("/nonexistent/файл.hex: Path not found.\n"));
}

}  // namespace
