// At a terminal and on a shared machine: the progress line and the port
// taken for one run alone.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <fcntl.h>
#include <thread>

#include "harness.h"
#include "pty_port.h"

namespace {

const char loadStartLines[] = "Getting loader prompt...\nKlearing memory...\nLoading file...\n";

// A load of about three seconds at 115200 baud.
std::string longFile() {
    std::string text;
    for (unsigned address = 0; address < 0x3000; address += 16) {
        text += dataRecord(address, std::vector<unsigned char>(16, static_cast<unsigned char>(address)));
    }
    return scratchFile(text + endRecord);
}

// Serves the virtual chip on its own port while a test drives hexpush.
struct ChipOnPort {
    std::string port;
    int master;
    std::atomic<bool> stop{false};
    ChipSession session;
    std::thread thread;
    explicit ChipOnPort(const ChipOptions &options) : master(openVirtualPort(port)) {
        thread = std::thread([this, options] { serveSession(master, options, session, &stop); });
    }
    ~ChipOnPort() {
        finish();
        if (master >= 0) close(master);
    }
    void finish() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    int exclusiveMode() {
        int slave = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        ioctl(slave, TIOCGEXCL, &exclusive);
        close(slave);
        return exclusive;
    }
};

size_t count(const std::string &text, const std::string &part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

TEST(Progress, RedrawnInPlaceAndGoneBeforeTheNextMessage) {
    ChipOnPort chip{ChipOptions{}};
    HexpushProcess process = startHexpush({"PORT", longFile(), "115200"}, chip.port, true);
    RunResult run;
    finishHexpush(process, run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(screenLines(process.screen), std::string(fourProgressLines)) << process.screen;
    size_t draws = count(process.screen, "lines  ");
    EXPECT_GE(draws, 3u) << "no progress shown during a long load";
    EXPECT_LE(draws, 40u) << "redrawn more than ten times a second";
    EXPECT_NE(process.screen.find("/769 lines"), std::string::npos) << process.screen;
    EXPECT_NE(process.screen.find("% "), std::string::npos);
    EXPECT_NE(process.screen.find(" left"), std::string::npos);
}

TEST(Progress, FailureLeavesTheDescribedLinesOnScreen) {
    ChipOptions options;
    options.faults.rejectLine = 400;
    ChipOnPort chip{options};
    HexpushProcess process = startHexpush({"PORT", longFile(), "115200"}, chip.port, true);
    RunResult run;
    finishHexpush(process, run);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(process.screen.find("lines  "), std::string::npos) << "no progress before line 400";
    EXPECT_EQ(screenLines(process.screen), std::string(loadStartLines) + "H\nLoad failed\n\n");
}

TEST(Progress, NothingExtraWhenOutputIsNotATerminal) {
    RunResult run = runHexpush({"PORT", longFile(), "115200"}, ChipOptions{});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, fourProgressLines);
    EXPECT_EQ(run.err, "") << "the port could not be made low-latency, silently";
}

TEST(ExclusivePort, SecondRunOnABusyPortStopsBeforeSendingAnything) {
    ChipOnPort chip{ChipOptions{}};
    std::string file = longFile();
    HexpushProcess first = startHexpush({"PORT", file, "115200"}, chip.port);
    usleep(400000);
    EXPECT_EQ(chip.exclusiveMode(), 1) << "the port is not in exclusive mode during a run";
    RunResult second;
    HexpushProcess late = startHexpush({"PORT", file, "115200"}, chip.port);
    finishHexpush(late, second);
    RunResult firstRun;
    finishHexpush(first, firstRun);

    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, chip.port + ": Port is in use by another program\n");
    EXPECT_EQ(firstRun.status, 0) << firstRun.err;
    EXPECT_EQ(firstRun.out, fourProgressLines);
    EXPECT_EQ(chip.exclusiveMode(), 0) << "exclusive mode left behind";
    chip.finish();
    EXPECT_EQ(chip.session.received[stageRecords], readWholeFile(file)) << "the second run got through";
    EXPECT_TRUE(chip.session.protocolErrors.empty());
}

TEST(ExclusivePort, FailedRunGivesUpTheExclusiveMode) {
    ChipOptions options;
    options.faults.silent = true;
    ChipOnPort chip{options};
    HexpushProcess process = startHexpush({"PORT", longFile()}, chip.port);
    RunResult run;
    finishHexpush(process, run);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(chip.exclusiveMode(), 0);
}

}  // namespace
