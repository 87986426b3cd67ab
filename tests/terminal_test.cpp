// At a terminal and on a shared machine: the progress line, and the port
// taken for one run alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <regex>

#include "harness.h"

namespace {

// 769 lines, a load of about three seconds at 115200 baud.
const std::string longFile = [] {
    std::string text;
    for (unsigned address = 0; address < 0x3000; address += 16) {
        text += dataRecord(address,
                           std::vector<unsigned char>(16, static_cast<unsigned char>(address)));
    }
    return scratchFile(text + endRecord);
}();

const HostSetup onTerminal = [] {
    HostSetup setup;
    setup.outputOnTerminal = true;
    return setup;
}();

// 1 while the port is exclusive (an ordinary user cannot even open it then).
int exclusiveMode(const std::string &port) {
    int slave = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) return errno == EBUSY ? 1 : -1;
    int exclusive = -1;
    ioctl(slave, TIOCGEXCL, &exclusive);
    close(slave);
    return exclusive;
}

bool becomesExclusive(const std::string &port) {
    for (int wait = 0; wait < 500; ++wait, usleep(10000)) {
        if (exclusiveMode(port) == 1) return true;
    }
    return false;
}

TEST(Progress, RedrawnInPlaceAndGoneBeforeTheNextMessage) {
    RunResult run = runHexpush({"PORT", longFile, "115200"}, ChipOptions{}, 30, onTerminal);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(screenLines(run.screen), fourProgressLines);
    // The terminal turns each of the four line feeds into "\r\n"; every other
    // carriage return is a redraw, or the final erase.
    long draws = std::count(run.screen.begin(), run.screen.end(), '\r') - 5;
    EXPECT_GE(draws, 3) << "no progress shown during a long load";
    EXPECT_LE(draws, 10 * run.seconds + 1) << "redrawn more than ten times a second";
    // Lines, percent and rate come before the time left on every draw.
    EXPECT_NE(run.screen.find("/769 lines  "), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find(" kB/s  0:0"), std::string::npos) << run.screen;

    ChipOptions rejectLate;
    rejectLate.faults.rejectLine = 400;
    RunResult failed = runHexpush({"PORT", longFile, "115200"}, rejectLate, 30, onTerminal);
    EXPECT_NE(failed.screen.find("lines  "), std::string::npos) << "no progress before line 400";
    EXPECT_EQ(screenLines(failed.screen), std::string(loadStartLines) + "H\nLoad failed\n\n");
}

TEST(Progress, FitsANarrowPaneAndCountsTheLoadersSilence) {
    ChipOptions stalls;
    stalls.faults.silentFromLine = 300;
    HostSetup narrow = onTerminal;
    narrow.columns = 30;
    RunResult run = runHexpush({"PORT", longFile, "115200"}, stalls, 3.8, narrow);
    EXPECT_TRUE(run.timedOut);
    std::stringstream draws(run.screen);
    for (std::string draw; std::getline(draws, draw, '\r');) {
        draw = std::regex_replace(draw, std::regex("\033\\[K|\n"), "");
        EXPECT_LE(draw.size(), 29u) << "wider than the pane: " << draw;
    }
    EXPECT_NE(run.screen.find("  loader silent 2 s"), std::string::npos) << run.screen;

    RunResult logged = runHexpush({"PORT", longFile, "115200"}, stalls, 2.5);
    EXPECT_EQ(logged.out, loadStartLines) << "a progress line where there is no terminal";
}

TEST(ExclusivePort, OtherProgramsAreRefusedAndEveryEndingGivesThePortBack) {
    ChipOnPort chip{ChipOptions{}};
    letNobodyUse(chip.port);
    HostRun first = startHost(HEXPUSH_BINARY, {"PORT", longFile, "115200"}, chip.port);
    EXPECT_TRUE(becomesExclusive(chip.port)) << "the port is not exclusive during a run";
    HostRun second = startHost(HEXPUSH_BINARY, {"PORT", longFile}, chip.port, unprivileged);
    finishHosts({&first, &second}, 30);
    expectEnding(
        second, 1, "",
        chip.port + ": Port is in use by another program\n" + chip.port +
            ": or a hexpush that was killed left it exclusive: see hexpush(1), KILLED RUNS\n");
    expectEnding(first, 0, fourProgressLines, "");
    EXPECT_EQ(exclusiveMode(chip.port), 0) << "exclusive mode left behind";
    chip.finish();
    EXPECT_TRUE(chip.session.received[stageRecords] == readWholeFile(longFile));
    EXPECT_TRUE(chip.session.protocolErrors.empty()) << "the second run got through";

    // A terminal program that takes the lock, as tio and picocom do.
    ChipOnPort locked{ChipOptions{}};
    int holder = open(locked.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    HostRun refused = startHost(HEXPUSH_BINARY, {"PORT", longFile}, locked.port);
    finishHosts({&refused}, 10);
    expectEnding(refused, 1, "", locked.port + ": Port is in use by another program\n");
    close(holder);

    ChipOptions silent;
    silent.faults.silent = true;
    ChipOnPort noLoader{silent};
    HostRun failed = startHost(HEXPUSH_BINARY, {"PORT", longFile}, noLoader.port);
    finishHosts({&failed}, 10);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(exclusiveMode(noLoader.port), 0) << "a failed run left the port exclusive";

    ChipOptions neverClears;
    neverClears.eraseMicros = 60 * 1000 * 1000;
    for (int signalNumber : {SIGINT, SIGQUIT, SIGUSR1}) {
        ChipOnPort waiting{neverClears};
        HostRun interrupted = startHost(HEXPUSH_BINARY, {"PORT", longFile}, waiting.port);
        EXPECT_TRUE(becomesExclusive(waiting.port));
        kill(interrupted.pid, signalNumber);
        finishHosts({&interrupted}, 10);
        EXPECT_EQ(interrupted.signal, signalNumber) << "the run must still end by the signal";
        EXPECT_EQ(exclusiveMode(waiting.port), 0)
            << "signal " << signalNumber << " left the port exclusive";
    }
}

}  // namespace
