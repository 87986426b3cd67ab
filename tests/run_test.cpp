// The built program against the virtual chip: command line, dialog, endings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

namespace {

const char usageOutput[] =
    "\nUsage: hexpush COM1 tarvo.hex [57600] \n\n  Port and file required, baud is optional\n";
const char noLoaderOutput[] = "Getting loader prompt...\nNo 420 Loader found\n";

std::string smallHexFile() {
    return scratchFile(dataRecord(0x0000, {0x02, 0x00, 0x03, 0x80, 0xFE}) + endRecord);
}

ChipOptions quickChip() {
    ChipOptions options;
    options.eraseMicros = 5000;
    return options;
}

void expectCompleteDialog(const RunResult &run, int baud) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fourProgressLines);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.session.baud, baud);
    EXPECT_EQ(run.session.received[stageWake], expectedWakeUp);
    EXPECT_EQ(run.session.received[stageClear], expectedClear);
    EXPECT_EQ(run.session.received[stageLoadCommand], expectedLoadCommand);
    EXPECT_TRUE(run.session.memory.erased);
    EXPECT_TRUE(run.session.protocolErrors.empty());
    EXPECT_TRUE(sameAttributes(run.before, run.after)) << "port attributes not restored";
}

void expectNothingSent(const RunResult &run) {
    for (const std::string &bytes : run.session.received) EXPECT_EQ(bytes, "");
    EXPECT_FALSE(run.session.memory.erased);
    EXPECT_TRUE(sameAttributes(run.before, run.after)) << "port attributes changed";
}

TEST(CommandLine, TooFewArgumentsPrintUsage) {
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"PORT"}}) {
        RunResult run = runHexpush(arguments, quickChip());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, usageOutput);
        expectNothingSent(run);
    }
}

TEST(CommandLine, UnsupportedRatesStopBeforeTheChipIsTouched) {
    std::string file = smallHexFile();
    for (const char *rate : {"4800", "0", "300", "fast", "115201"}) {
        RunResult run = runHexpush({"PORT", file, rate}, quickChip());
        EXPECT_EQ(run.status, 1) << rate;
        EXPECT_EQ(run.out, "Baud rate not supported\n") << rate;
        expectNothingSent(run);
    }
}

TEST(CommandLine, EverySupportedRateCompletesTheDialog) {
    std::string file = smallHexFile();
    for (int baud : {2400, 9600, 19200, 38400, 57600, 115200}) {
        SCOPED_TRACE(baud);
        expectCompleteDialog(runHexpush({"PORT", file, std::to_string(baud)}, quickChip()), baud);
    }
}

TEST(CommandLine, DefaultRateAndIgnoredExtraArguments) {
    std::string file = smallHexFile();
    expectCompleteDialog(runHexpush({"PORT", file}, quickChip()), 57600);
    expectCompleteDialog(runHexpush({"PORT", file, "9600", "extra"}, quickChip()), 57600);
    expectCompleteDialog(runHexpush({"PORT", file, " 9600"}, quickChip()), 9600);
}

TEST(Banner, ArrivingInBurstsWithShortGapsIsAccepted) {
    ChipOptions options = quickChip();
    options.faults.burstBytes = 7;
    options.faults.burstGapMicros = 8000;
    expectCompleteDialog(runHexpush({"PORT", smallHexFile(), "115200"}, options), 115200);
}

TEST(Banner, MissingShortOrWrongBannerMeansNoLoader) {
    std::string banner = loaderBannerText;
    std::string otherVersion = banner;
    otherVersion.replace(otherVersion.find("1.0"), 3, "1.1");
    std::vector<ChipFaults> cases(3);
    cases[0].silent = true;
    cases[1].banner = banner.substr(0, banner.size() - 1);
    cases[2].banner = otherVersion;
    for (const ChipFaults &faults : cases) {
        ChipOptions options = quickChip();
        options.faults = faults;
        RunResult run = runHexpush({"PORT", smallHexFile(), "19200"}, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, noLoaderOutput);
        EXPECT_EQ(run.session.received[stageWake], expectedWakeUp);
        EXPECT_FALSE(run.session.memory.erased) << "no command may follow a failed wake-up";
    }
}

TEST(Banner, SlowLoaderIsFoundAtTheLowestRate) {
    // At 2400 baud the wake-up takes 16.7 ms on the wire. The silence
    // allowance (about 20 ms) must start after it, or a loader that takes
    // 25 ms to answer is given up on before its first byte can arrive.
    ChipOptions options = quickChip();
    options.faults.wakeReactionMicros = 25000;
    expectCompleteDialog(runHexpush({"PORT", smallHexFile(), "2400"}, options), 2400);
}

TEST(Replies, PausesInsideRepliesAreWaitedFor) {
    ChipOptions options = quickChip();
    options.eraseMicros = 300000;  // far beyond the silence allowance
    expectCompleteDialog(runHexpush({"PORT", smallHexFile()}, options), 57600);
    options = quickChip();
    options.faults.replyGapMicros = 40000;  // every reply byte on its own
    options.faults.banner = "\r\n";         // keeps the banner itself out of it
    RunResult run = runHexpush({"PORT", smallHexFile()}, options);
    EXPECT_EQ(run.out, noLoaderOutput) << "gaps longer than the allowance end the banner";
}

TEST(Replies, LoadEchoByteByByteIsAccepted) {
    ChipOptions options = quickChip();
    options.faults.burstBytes = 1;
    options.faults.burstGapMicros = 3000;
    expectCompleteDialog(runHexpush({"PORT", smallHexFile(), "38400"}, options), 38400);
}

TEST(Replies, WrongRepliesStopTheRun) {
    struct Case {
        ChipFaults faults;
        const char *out;
        const char *err;
    };
    std::vector<Case> cases(3);
    cases[0].faults.garbleEchoOf = 'K';
    cases[0].out = "Getting loader prompt...\nKlearing memory...\n";
    cases[0].err = "Unexpected reply from the loader to \"K\"\n";
    cases[1].faults.garbleEchoOf = 'L';
    cases[1].out = "Getting loader prompt...\nKlearing memory...\nLoading file...\n";
    cases[1].err = "Unexpected reply from the loader to \"LB\"\n";
    cases[2].faults.afterPrompt = "!";  // an 81st byte after the banner
    cases[2].out = cases[0].out;
    cases[2].err = cases[0].err;
    for (const Case &wrong : cases) {
        ChipOptions options = quickChip();
        options.faults = wrong.faults;
        RunResult run = runHexpush({"PORT", smallHexFile()}, options, 10);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, wrong.out);
        EXPECT_EQ(run.err, wrong.err);
        EXPECT_EQ(run.session.received[stageRecords], "") << "no record after a wrong reply";
    }
}

TEST(Replies, SilentLoaderAfterWakeUpIsWaitedForWithoutEnd) {
    ChipOptions options = quickChip();
    options.eraseMicros = 60 * 1000 * 1000;
    RunResult run = runHexpush({"PORT", smallHexFile()}, options, 1.5);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.out, "Getting loader prompt...\nKlearing memory...\n");
}

TEST(HexFile, UnusableFileStopsBeforeThePortIsTouched) {
    std::string directory = scratchFile("", ".d");
    unlink(directory.c_str());
    mkdir(directory.c_str(), 0700);
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case &bad : {Case{"/nonexistent/app.hex", "No such file or directory"},
                            Case{directory, "Is a directory"}}) {
        RunResult run = runHexpush({"PORT", bad.path}, quickChip());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, bad.path + ": " + bad.reason + "\n");
        expectNothingSent(run);
    }
    rmdir(directory.c_str());
}

TEST(Port, PortThatCannotBeOpenedIsNamedWithItsReason) {
    RunResult run = runHexpush({"/dev/no-such-port", smallHexFile()}, quickChip());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, noLoaderOutput);
    EXPECT_EQ(run.err, "/dev/no-such-port: No such file or directory\n");
    RunResult notATerminal = runHexpush({smallHexFile(), smallHexFile()}, quickChip());
    EXPECT_EQ(notATerminal.status, 1);
    EXPECT_EQ(notATerminal.out, noLoaderOutput);
    EXPECT_NE(notATerminal.err.find(": Inappropriate ioctl for device"), std::string::npos);
}

TEST(Port, PortThatGoesAwayEndsEveryWait) {
    ChipOptions duringClear = quickChip();
    duringClear.faults.hangUpOnCommand = 'K';
    ChipOptions duringVerdict = quickChip();
    duringVerdict.faults.hangUpAtLine = 1;
    for (const ChipOptions &options : {duringClear, duringVerdict}) {
        RunResult run = runHexpush({"PORT", smallHexFile()}, options, 10);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, run.portPath + ": Device hung up\n");
        EXPECT_TRUE(run.session.hungUp);
    }
}

}  // namespace
