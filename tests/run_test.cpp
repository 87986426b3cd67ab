// The built program against the virtual chip: command line, dialog, endings.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

void expectCompleteDialog(const RunResult &run, int baud) {
    expectEnding(run, 0, fourProgressLines, "");
    EXPECT_EQ(run.session.baud, baud);
    EXPECT_EQ(run.session.received[stageWake], "\r\n\r\n");
    EXPECT_EQ(run.session.received[stageClear], "K\r\n");
    EXPECT_EQ(run.session.received[stageLoadCommand], "LB\r\n");
    EXPECT_TRUE(run.session.protocolErrors.empty());
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

TEST(Dialog, NoLoaderWhenTheBannerIsMissingShortOrWrong) {
    auto silent = [](ChipFaults &faults) { faults.silent = true; };
    auto shortBanner = [](ChipFaults &faults) {
        faults.banner = std::string(loaderBannerText).substr(1);
    };
    auto otherVersion = [](ChipFaults &faults) {
        faults.banner = loaderBannerText;
        faults.banner.replace(faults.banner.find("1.0"), 3, "1.1");
    };
    for (auto fault : {+silent, +shortBanner, +otherVersion}) {
        RunResult run = runHexpush({"PORT", smallFile, "19200"}, chipWith(fault));
        expectEnding(run, 1, noLoader, "");
        EXPECT_EQ(run.session.received[stageClear], "") << "a command followed a failed wake-up";
    }
}

TEST(Dialog, WrongRepliesStopTheRunInsteadOfWaitingForever) {
    auto garbleK = [](ChipFaults &faults) { faults.garbleEchoOf = 'K'; };
    auto garbleLB = [](ChipFaults &faults) { faults.garbleEchoOf = 'L'; };
    auto byteAfterBanner = [](ChipFaults &faults) { faults.afterPrompt = "!"; };
    struct Case {
        void (*fault)(ChipFaults &);
        std::string out;
        std::string err;
    } cases[] = {
        {garbleK, "Getting loader prompt...\nKlearing memory...\n",
         "Unexpected reply from the loader to \"K\"\n"},
        {garbleLB, loadStartLines, "Unexpected reply from the loader to \"LB\"\n"},
        {byteAfterBanner, "Getting loader prompt...\nKlearing memory...\n",
         "Unexpected reply from the loader to \"K\"\n"},
    };
    for (const Case &wrong : cases) {
        RunResult run = runHexpush({"PORT", smallFile}, chipWith(wrong.fault), 10);
        expectEnding(run, 1, wrong.out, wrong.err);
        EXPECT_EQ(run.session.received[stageRecords], "");
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
                 "/dev/null: Inappropriate ioctl for device\n");

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

}  // namespace
