// The built program against the virtual chip: command line, dialog, endings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "harness.h"

namespace {

const char noLoader[] = "Getting loader prompt...\nNo 420 Loader found\n";
const std::string smallFile = scratchFile(dataRecord(0, {0x02, 0x00, 0x03}) + endRecord);

ChipOptions chipWith(void (*change)(ChipFaults &) = [](ChipFaults &) {}) {
    ChipOptions options;
    options.eraseMicros = 5000;
    change(options.faults);
    return options;
}

// The chip received the dialog and the given lines of the file, and nothing else.
void expectExactWire(const RunResult &run, const std::string &records) {
    expectDialog(run.session);
    EXPECT_EQ(run.session.received[stageRecords], records);
}

void expectCompleteDialog(const RunResult &run, int baud) {
    expectEnding(run, 0, fourProgressLines, "");
    EXPECT_EQ(run.session.baud, baud);
    expectExactWire(run, readWholeFile(smallFile));
    EXPECT_TRUE(sameAttributes(run.before, run.after)) << "port attributes not restored";
}

// Runs that must end before anything reaches the chip or the port changes.
TEST(CommandLine, BadUsageRatesAndFilesStopBeforeThePort) {
    std::string directory = scratchFile("", ".d");
    unlink(directory.c_str());
    mkdir(directory.c_str(), 0700);
    const std::string usage =
        "\nUsage: hexpush COM1 tarvo.hex [57600] \n\n  Port and file required, baud is optional\n";
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
        std::string err;
    } cases[] = {
        {{}, usage, ""},
        {{"PORT"}, usage, ""},
        {{"PORT", smallFile, "4800"}, "Baud rate not supported\n", ""},
        {{"PORT", smallFile, "0"}, "Baud rate not supported\n", ""},
        {{"PORT", smallFile, "fast"}, "Baud rate not supported\n", ""},
        {{"PORT", "/nonexistent/app.hex"}, "", "/nonexistent/app.hex: No such file or directory\n"},
        {{"PORT", directory}, "", directory + ": Is a directory\n"},
        {{"PORT", "/proc/self/mem"}, "", "/proc/self/mem: Input/output error\n"},
    };
    for (const Case &bad : cases) {
        RunResult run = runHexpush(bad.arguments, chipWith());
        expectEnding(run, 1, bad.out, bad.err);
        EXPECT_EQ(run.session.received[stageWake], "");
        EXPECT_TRUE(sameAttributes(run.before, run.after)) << "port attributes changed";
    }
    rmdir(directory.c_str());
}

TEST(CommandLine, EveryRateTheDefaultAndIgnoredArguments) {
    for (int baud : {2400, 9600, 19200, 38400, 57600, 115200}) {
        SCOPED_TRACE(baud);
        expectCompleteDialog(runHexpush({"PORT", smallFile, std::to_string(baud)}, chipWith()),
                             baud);
    }
    expectCompleteDialog(runHexpush({"PORT", smallFile}, chipWith()), 57600);
    expectCompleteDialog(runHexpush({"PORT", smallFile, "9600", "extra"}, chipWith()), 57600);
}

TEST(Dialog, SlowAndSplitRepliesAreWaitedFor) {
    // At 2400 baud the wake-up takes 16.7 ms on the wire; the silence
    // allowance (about 20 ms) must start after it, or a loader that takes
    // 25 ms to answer is given up on before its first byte can arrive.
    auto slowWake = [](ChipFaults &faults) { faults.wakeReactionMicros = 25000; };
    expectCompleteDialog(runHexpush({"PORT", smallFile, "2400"}, chipWith(slowWake)), 2400);
    auto bursts = [](ChipFaults &faults) {
        faults.burstBytes = 7;
        faults.burstGapMicros = 8000;
    };
    expectCompleteDialog(runHexpush({"PORT", smallFile, "115200"}, chipWith(bursts)), 115200);
    ChipOptions slowErase = chipWith([](ChipFaults &faults) {
        faults.burstBytes = 1;  // the load echo byte by byte
        faults.burstGapMicros = 3000;
    });
    slowErase.eraseMicros = 300000;  // a pause far beyond the silence allowance
    expectCompleteDialog(runHexpush({"PORT", smallFile, "38400"}, slowErase), 38400);
}

// A missing, short or wrong banner is no loader; a wrong reply to a command
// stops the run instead of waiting for ever.
TEST(Dialog, WrongOrMissingRepliesStopTheRun) {
    const std::string klearing = "Getting loader prompt...\nKlearing memory...\n";
    const std::string toK = "Unexpected reply from the loader to \"K\"\n";
    struct Case {
        void (*fault)(ChipFaults &);
        std::string out, err;
    } cases[] = {
        {[](ChipFaults &f) { f.silent = true; }, noLoader, ""},
        {[](ChipFaults &f) { f.banner = std::string(loaderBannerText).substr(1); }, noLoader, ""},
        {[](ChipFaults &f) {
             f.banner = std::regex_replace(loaderBannerText, std::regex("1\\.0"), "1.1");
         },
         noLoader, ""},
        {[](ChipFaults &f) { f.garbleEchoOf = 'K'; }, klearing, toK},
        {[](ChipFaults &f) { f.afterPrompt = "!"; }, klearing, toK},
        {[](ChipFaults &f) { f.garbleEchoOf = 'L'; }, loadStartLines,
         "Unexpected reply from the loader to \"LB\"\n"},
    };
    for (const Case &wrong : cases) {
        RunResult run = runHexpush({"PORT", smallFile, "19200"}, chipWith(wrong.fault), 10);
        expectEnding(run, 1, wrong.out, wrong.err);
        EXPECT_EQ(run.session.received[wrong.out == noLoader ? stageClear : stageRecords], "")
            << "the run went on after a wrong reply";
    }
    ChipOptions neverClears = chipWith();
    neverClears.eraseMicros = 60 * 1000 * 1000;
    RunResult waiting = runHexpush({"PORT", smallFile}, neverClears, 1.5);
    EXPECT_TRUE(waiting.timedOut) << "a silent loader is waited for without end";
}

TEST(Port, UnusablePortsAreNamedWithTheirReason) {
    expectEnding(runHexpush({"/dev/no-such-port", smallFile}, chipWith()), 1, noLoader,
                 "/dev/no-such-port: No such file or directory\n");
    expectEnding(runHexpush({"/dev/null", smallFile}, chipWith()), 1, noLoader,
                 "/dev/null: not a serial port\n");

    auto duringClear = [](ChipFaults &faults) { faults.hangUpOnCommand = 'K'; };
    auto duringVerdict = [](ChipFaults &faults) { faults.hangUpAtLine = 1; };
    for (auto fault : {+duringClear, +duringVerdict}) {
        RunResult run = runHexpush({"PORT", smallFile}, chipWith(fault), 10);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, fault == +duringClear ? "Getting loader prompt...\nKlearing memory...\n"
                                                 : loadStartLines);
        // The system reports the far end's close as a hang-up or as an I/O
        // error, depending on which it notices first.
        EXPECT_TRUE(run.err == run.port + ": Device hung up\n" ||
                    run.err == run.port + ": Input/output error\n")
            << run.err;
    }
}

// Bytes that reached the port before the run are not taken for the banner.
TEST(Port, StaleInputIsDiscarded) {
    ChipOnPort chip{chipWith()};
    const std::string noise = "noise from before the run";
    ASSERT_EQ(write(chip.master, noise.data(), noise.size()), ssize_t(noise.size()));
    HostRun run = startHost(HEXPUSH_BINARY, {"PORT", smallFile}, chip.port);
    finishHosts({&run}, 10);
    expectEnding(run, 0, fourProgressLines, "");
}

// What service managers, careless scripts and pipelines do to a run.
TEST(Environment, ClosedDescriptorsAGoneReaderAndAReadOnlyFile) {
    HostSetup closed;
    closed.closed = {0, 1};
    RunResult run = runHexpush({"PORT", smallFile}, chipWith(), 30, closed);
    EXPECT_EQ(run.status, 0);
    expectExactWire(run, readWholeFile(smallFile));
    closed.closed = {0, 2};  // and a failure, which has something to say on standard error
    RunResult rejected = runHexpush({"PORT", smallFile},
                                    chipWith([](ChipFaults &f) { f.rejectLine = 1; }), 30, closed);
    EXPECT_EQ(rejected.status, 1);
    expectExactWire(rejected, dataRecord(0, {0x02, 0x00, 0x03}));

    HostSetup readerGone;
    readerGone.outputReaderGone = true;
    RunResult piped = runHexpush({"PORT", smallFile}, chipWith(), 30, readerGone);
    EXPECT_EQ(piped.status, 0) << "a reader that went away cut the load short";
    expectExactWire(piped, readWholeFile(smallFile));

    std::string readOnly = scratchFile(readWholeFile(smallFile));
    chmod(readOnly.c_str(), 0444);
    expectEnding(runHexpush({"PORT", readOnly}, chipWith(), 30, unprivileged), 0, fourProgressLines,
                 "");
}

}  // namespace
