// The built program against the virtual chip: command line, dialog, port and
// the environment a run is started in. Each table's rows run where they can
// fail (harness.h, Where).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <regex>

#include "harness.h"
#include "wine_host.h"

namespace {

const std::string smallFile = scratchFile(dataRecord(0, {0x02, 0x00, 0x03}) + endRecord);

EVERY_BUILD(CommandLine);
EVERY_BUILD(Dialog);
EVERY_BUILD(Port);

// Runs that must end before anything reaches the chip or the port changes.
// Every build runs what its own console, exit status and file calls decide;
// the checks of the rate and of the lines, once, natively.
TEST_P(CommandLine, BadUsageRatesAndFilesStopBeforeThePort) {
    // Input read once (a FIFO, as a pipe or process substitution gives) is
    // taken whole and checked like a file; the limit itself may be taken.
    std::string noLastLineFeed = fifoFeeding(dataRecord(0, {1}) + ":" + std::string(1023, 'B'));
    std::string theLimit = fifoFeeding(std::string(16 * 1024 * 1024, 'A'));
    std::string records;
    while (records.size() <= 16 * 1024 * 1024) records += dataRecord(0, {1});
    std::string pastTheLimit = fifoFeeding(records);
    std::string failing = ptyFailingAfter(readWholeFile(smallFile));
    const std::string usage =
        "\nUsage: hexpush COM1 tarvo.hex [57600] \n\n  Port and file required, baud is optional\n";
    const std::string unsupported = "Baud rate not supported\n";
    struct Case {
        unsigned where;  // Where
        std::vector<std::string> arguments;
        std::string out, err, windowsErr;
        int status = 1;
    } cases[] = {
        {everywhere, {"--version"}, "hexpush " + shell(SOURCE_DIR "/scripts/version"), "", "", 0},
        {notInBrowser, {"PORT"}, usage, "", ""},
        {nativeOnly, {"--version", smallFile}, noLoaderLines, "--version: No such file or directory\n",
         ""},  // a port and a file
        {notInBrowser, {"PORT", smallFile, "4800"}, unsupported, "", ""},
        {nativeOnly, {"PORT", smallFile, "fast"}, unsupported, "", ""},
        {nativeOnly, {"PORT", smallFile, "4294969696"}, unsupported, "", ""},  // 2400 if it overflowed
        {notInBrowser, {"PORT", "/nonexistent/файл.hex"}, "",
         "/nonexistent/файл.hex: No such file or directory\n",
         "/nonexistent/файл.hex: Path not found.\n"},
        {notInBrowser, {"PORT", "/"}, "", "/: Is a directory\n", ""},
        {notInBrowser, {"PORT", noLastLineFeed}, "",
         noLastLineFeed + ": line 2 is longer than 1024 bytes\n", ""},
        {nativeOnly, {"PORT", theLimit}, "", theLimit + ": line 1 is longer than 1024 bytes\n", ""},
        {nativeOnly, {"PORT", pastTheLimit}, "", pastTheLimit + ": more than 16777216 bytes\n", ""},
        // A character device is input read once too, told apart from a FIFO.
        {nativeOnly, {"PORT", "/dev/zero"}, "", "/dev/zero: more than 16777216 bytes\n", ""},
        {nativeOnly, {"PORT", "/proc/self/mem"}, "", "/proc/self/mem: Input/output error\n", ""},
        // A read that fails after a while is no end of the input.
        {nativeOnly, {"PORT", failing}, "", failing + ": Input/output error\n", ""},
    };
    for (const Case &bad : cases) {
        if (!runsHere(bad.where)) continue;
        RunResult run = this->run(bad.arguments, promptChip());
        expectEnding(run, bad.status, bad.out,
                     windows() && !bad.windowsErr.empty() ? bad.windowsErr : bad.err);
        EXPECT_EQ(run.session.received[stageWake], "");
        EXPECT_TRUE(sameAttributes(run.before, run.after)) << "port attributes changed";
    }
    // Read through a pipe, a name is the user's own, in UTF-8.
    if (windows()) {
        EXPECT_EQ(shell(commandFor(program()) + " COM1 /nonexistent/файл.hex 2>&1 >/dev/null | cat"),
                  "/nonexistent/файл.hex: Path not found.\r\n");
    }
}

// Every rate, the default, ignored and untidy rate arguments, images made by
// srec_cat, and loaders that answer slowly or in pieces: each a complete load
// of the dialog and the file, after which the port has its speed back. The
// speeds, the port's flush, replies in pieces and input read once rest on
// each platform's port and file calls; the rate's argument is read by shared
// code; names outside ASCII are plain bytes but on Windows.
TEST_P(CommandLine, CompleteLoadsAtEveryRateWithSlowAndSplitReplies) {
    struct Case {
        unsigned where;  // Where
        std::vector<std::string> rate;
        int baud;
        std::string file = smallFile;
        void (*misbehave)(ChipOptions &) = [](ChipOptions &) {};
        std::string holds{};  // the file the chip must hold, if not the one given
    } cases[] = {
        {everywhere, {"2400"}, 2400, srecImage("0 0x2000", "16", "nl")},
        {everywhere, {"9600"}, 9600,
         srecImage("0x100 0x900 -random -generate 0x2000 0x3F00", "255", "crlf")},
        {everywhere, {"19200"}, 19200, srecImage("0x3000 0x4000", "32", "crlf"),
         [](ChipOptions &chip) { chip.faults.staleInput = "noise from before"; }},
        {notInBrowser, {"38400"}, 38400, smallFile, [](ChipOptions &chip) {
             chip.faults.burstBytes = 1;
             chip.faults.burstGapMicros = 3000;
             chip.eraseMicros = 300000;  // far beyond the silence allowance
         }},
        // The page's wire has a hop more per byte (the test's bridge), each
        // as late as a busy machine makes it: fewer pieces, as many kinds.
        {inBrowser, {"38400"}, 38400, smallFile, [](ChipOptions &chip) {
             chip.faults.burstBytes = 3;
             chip.faults.burstGapMicros = 3000;
             chip.eraseMicros = 300000;
         }},
        {everywhere, {"115200"}, 115200, srecImage("0 0x8000", "16", "nl")},  // 32 KiB, 2050 lines
        {everywhere, {"57600"}, 57600, smallFile, [](ChipOptions &chip) {
             chip.faults.burstBytes = 40;
             chip.faults.burstGapMicros = 10000;  // half the allowance
         }},
        {notInBrowser, {"9600"}, 9600, fifoFeeding(readWholeFile(smallFile)),
         [](ChipOptions &) {}, smallFile},
        {nativeOnly, {}, 57600},
        {nativeOnly, {"9600", "extra"}, 57600},
        {nativeOnly, {" 9600abc"}, 9600},
        // Names outside every ANSI code page, beyond the BMP, and past the
        // 260 characters Windows once allowed.
        {windowsOnly, {}, 57600, scratchFile(readWholeFile(smallFile), "-прошивка.hex")},
        {windowsOnly, {}, 57600, scratchFile(readWholeFile(smallFile), "-固件.hex")},
        {windowsOnly, {}, 57600, scratchFile(readWholeFile(smallFile), " 🔥 app.hex"),
         [](ChipOptions &) {}, smallFile},
        {windowsOnly, {}, 57600, deepScratchFile(readWholeFile(smallFile), 300)},
    };
    for (const Case &load : cases) {
        if (!runsHere(load.where)) continue;
        ChipOptions chip = promptChip();
        chip.flashSize = 65536;
        load.misbehave(chip);
        std::vector<std::string> arguments{"PORT", load.file};
        arguments.insert(arguments.end(), load.rate.begin(), load.rate.end());
        RunResult run = this->run(arguments, chip, 60);
        expectEnding(run, 0, fourProgressLines, "");
        EXPECT_EQ(run.session.baud, load.baud);
        expectDialog(run.session);
        expectChipHolds(run.session, load.holds.empty() ? load.file : load.holds);
        // The native build's restore is checked, flag by flag, in the unit
        // tests; Wine keeps only what a DCB can say, the speed among it. A
        // page leaves the port's settings to the browser.
        if (GetParam() != Build::browser) {
            EXPECT_EQ(cfgetospeed(&run.after), cfgetospeed(&run.before)) << "speed not put back";
        }
    }
}

// A missing, short or wrong banner is no loader, and standard error says
// what came instead, escaped; a wrong reply to a command stops the run, at
// once, even when the loader then falls silent. Every build runs the silence
// (its own read timeouts) and a reply left in the port for the next one (its
// own reads take no more than asked); what the replies are taken for is
// shared, and runs natively.
TEST_P(Dialog, WrongOrMissingRepliesStopTheRun) {
    const std::string klearing = "Getting loader prompt...\nKlearing memory...\n";
    const std::string toK = "Unexpected reply from the loader to \"K\"\n";
    const std::string toLB = "Unexpected reply from the loader to \"LB\"\n";
    const std::string banner = loaderBannerText;
    const std::string otherLoader = "PORT: another loader answered: ";
    const std::string onlyThisOne =
        "\nPORT: hexpush knows only the DS89C420 loader's banner shown in hexpush(1)\n";
    const std::string bannerLine = "DS89C420 LOADER VERSION 1.0  COPYRIGHT (C) 2000 DALLAS SEMICONDUCTOR";
    const std::string wrongSpeed =
        "PORT: the ROM loader takes its speed from the first bytes it receives after a reset: "
        "reset the chip, or use the speed it was started at\n";
    auto wakeUp = [](const char *how) {
        return [how](ChipFaults &faults) { wakeUpFault(how, faults); };
    };
    auto answer = [](std::string banner, long sendAtMost = 0) {
        return [banner, sendAtMost](ChipFaults &faults) {
            faults.banner = banner;
            faults.sendAtMost = sendAtMost;
        };
    };
    auto reply = [](char to, std::string wrong) {
        return [to, wrong](ChipFaults &faults) {
            faults.wrongReplyTo = to;
            faults.wrongReply = wrong;
        };
    };
    struct Case {
        unsigned where;  // Where
        std::function<void(ChipFaults &)> misbehave;
        std::string out, err;
    } cases[] = {
        {everywhere, wakeUp("none"), noLoaderLines,
         "PORT: no reply to the wake-up at 19200 baud\nPORT: check that this is the chip's port, "
         "that the chip is powered and reset into its ROM loader, and that its serial lines are "
         "wired to the port\n"},
        {nativeOnly | inBrowser, wakeUp("echo"), noLoaderLines,
         "PORT: the wake-up came back as it was sent, and nothing more\nPORT: the line is looped "
         "back (by a jumper, or an adapter's echo) rather than wired to the chip\n"},
        {nativeOnly | inBrowser, wakeUp("cut"), noLoaderLines, "PORT: the loader's banner stopped after 40 of its 80 bytes\n"},
        // The page keeps its allowance by its own timers (natively, read from strace).
        {inBrowser, [](ChipFaults &faults) { faults.burstBytes = 40, faults.burstGapMicros = 1000000; },
         noLoaderLines, "PORT: the loader's banner stopped after 40 of its 80 bytes\n"},
        {nativeOnly | inBrowser, wakeUp("awake"), noLoaderLines,
         "PORT: only line ends and prompts came back: the loader was probably awake already, "
         "from an earlier wake-up\nPORT: reset the chip into its ROM loader, then run hexpush "
         "again\n"},
        {nativeOnly | inBrowser, answer("\r\nOK\t0\r\n", 8), noLoaderLines,
         R"(PORT: text came back, not the loader's banner: "\r\nOK\t0\r\n")" "\n"},
        {nativeOnly, answer(">\r\n>\r\n", 6), noLoaderLines,  // no space after them: no prompts
         R"(PORT: text came back, not the loader's banner: ">\r\n>\r\n")" "\n"},
        // The edges of each class: a line end alone, a word that only
        // starts like the banner's, a reply that ends on its words.
        {nativeOnly, answer("\r\n", 2), noLoaderLines,
         "PORT: the loader's banner stopped after 2 of its 80 bytes\n"},
        {nativeOnly, answer("\r\nBOOTLOADER READY\r\n", 20), noLoaderLines,
         R"(PORT: text came back, not the loader's banner: "\r\nBOOTLOADER READY\r\n")" "\n"},
        {nativeOnly, answer("DS89C450 LOADER VERSION", 23), noLoaderLines,
         otherLoader + R"("DS89C450 LOADER VERSION")" + onlyThisOne},
        {nativeOnly, answer("\x7f\r\n", 3), noLoaderLines,
         "PORT: the reply is not text, as a line at the wrong speed reads: 7F 0D 0A (3 bytes)\n" +
             wrongSpeed},
        {nativeOnly | inBrowser, wakeUp("noise"), noLoaderLines,
         "PORT: the reply is not text, as a line at the wrong speed reads: 00 F8 80 E6 1E 98 00 FE "
         "60 78 80 00 E0 9E 06 F8 (20 bytes)\n" +
             wrongSpeed},
        // Whatever the reply holds, none of it reaches the terminal raw, nor
        // a page's log as markup.
        {nativeOnly | inBrowser, answer("\x1b]0;owned\x07\x1b[2J<b>\\\t\x9b LOADER VERSION"),
         noLoaderLines,
         otherLoader + R"("\x1B]0;owned\x07\x1B[2J<b>\\\t\x9B LOADER VERSION\r\n\r\n> ")" +
             onlyThisOne},
        // The decision itself: the exact 80 bytes.
        {nativeOnly, answer(banner.substr(1)), noLoaderLines,
         otherLoader + R"("\n)" + bannerLine + R"(\r\n> \r\n\r\n> ")" + onlyThisOne},
        {nativeOnly | inBrowser, answer(std::regex_replace(banner, std::regex("1\\.0"), "1.1")), noLoaderLines,
         otherLoader + R"("\r\n)" + std::regex_replace(bannerLine, std::regex("1\\.0"), "1.1") +
             R"(\r\n> \r\n\r\n> ")" + onlyThisOne},
        {nativeOnly, answer(banner + "\r\n\r\n>!"), noLoaderLines,  // only the 80th byte differs
         otherLoader + R"("\r\n)" + bannerLine + R"(\r\n> \r\n\r\n>!")" + onlyThisOne},
        {nativeOnly, [](ChipFaults &faults) { faults.afterPrompt = "!"; }, klearing, toK},
        {nativeOnly | inBrowser, reply('K', "k\r\n\r\n> "), klearing, toK},
        {nativeOnly, reply('K', "K\r\n> "), klearing, toK},  // wrong from the 4th byte, then silence
        {nativeOnly | inBrowser, reply('L', "LB\n"), loadStartLines, toLB},
        // What follows a reply is left for the next one, even when the reply
        // came in two pieces (the clear outlasts the silence allowance).
        {everywhere, [](ChipFaults &faults) { faults.afterClear = "X"; }, loadStartLines, toLB},
    };
    for (const Case &wrong : cases) {
        if (!runsHere(wrong.where)) continue;
        ChipOptions chip = promptChip();
        chip.eraseMicros = 300000;
        wrong.misbehave(chip.faults);
        auto err = [&](const RunResult &run) { return std::regex_replace(wrong.err, std::regex("PORT"), run.port); };
        RunResult run = runHexpush({"PORT", smallFile, "19200"}, chip, 10, {}, GetParam(), [&](const RunResult &run) {
            return run.status == 1 && run.out == wrong.out && run.err == err(run);
        });
        expectEnding(run, 1, wrong.out, err(run));
        EXPECT_TRUE(std::all_of(run.err.begin(), run.err.end(),
                                [](char c) { return c == '\n' || (c >= 0x20 && c <= 0x7e); }))
            << "a byte from the wire reached standard error raw";
        EXPECT_EQ(run.session.received[wrong.out == noLoaderLines ? stageClear : stageRecords], "")
            << "the run went on after a wrong reply";
    }
}

// A loader that falls silent, while it clears its memory or on a line, is
// waited for until the user gives up: for longer than the longest wait the
// program has (a second, between counts of the silence), four times over.
TEST(Waits, SilentLoaderIsWaitedForWithoutEnd) {
    ChipOptions neverClears = promptChip(), silentOnALine = promptChip();
    neverClears.eraseMicros = 60000000;
    silentOnALine.faults.silentFromLine = 2;
    for (int attempt = 1;; ++attempt) {
        ChipOnPort clearing(neverClears), loading(silentOnALine);
        HostRun runs[] = {startHexpush(HEXPUSH_BINARY, {"PORT", smallFile}, clearing.port),
                          startHexpush(HEXPUSH_BINARY, {"PORT", smallFile}, loading.port)};
        finishHosts({&runs[0], &runs[1]}, 4);
        clearing.finish();
        loading.finish();
        if (runs[0].timedOut && runs[1].timedOut) {
            EXPECT_EQ(loading.session.lines, 2);
            return;
        }
        if (!runAgain(attempt, keptFromCpuAsItWoke(clearing.session) + keptFromCpuAsItWoke(loading.session)))
            FAIL() << "a silent loader was given up on: " << runs[0].err << runs[1].err;
    }
}

// At 2400 baud the wake-up takes 16.7 ms on the wire; the silence allowance
// must start after it, or a loader that answers promptly once the wake-up is
// through is given up on. What hexpush asks of the system shows it, however
// busy the machine: the wake-up written, the port drained, a sleep of at
// least its time on the wire, and only then the first read; then the
// allowance, 200 reads, each followed by a wait of 100 us for the port. The
// wait is asked for by shared code.
TEST(Waits, SilenceAllowanceStartsOnceTheWakeUpIsOnTheWire) {
    std::string whyNot = shell("strace -o /dev/null true 2>&1 >/dev/null || true");
    if (!whyNot.empty()) SKIP_BECAUSE("strace cannot trace here: " + whyNot);
    ChipOptions silent = promptChip();
    silent.faults.silent = true;
    ChipOnPort chip(silent);
    std::string trace = scratchFile("", ".trace");
    HostSetup traced;  // the leak check cannot run under ptrace
    traced.environment = {"ASAN_OPTIONS=detect_leaks=0"};
    HostRun run = startHost("strace",
                            {"-o", trace, "-e", "trace=write,read,ioctl,clock_nanosleep,pselect6",
                             HEXPUSH_BINARY, "PORT", smallFile, "2400"},
                            chip.port, traced);
    finishHosts({&run}, 10);
    std::smatch at;
    std::string calls = readWholeFile(trace);
    ASSERT_TRUE(
        std::regex_search(calls, at, std::regex("write\\((\\d+), \"\\\\r\\\\n\\\\r\\\\n\", 4\\)")))
        << calls;
    std::string port = at[1], after = at.suffix();
    std::regex drainSleepRead(
        "^[^\\n]*\\n[^\\n]*ioctl\\(" + port + ", TCSBRK, 1\\)[^\\n]*\\n[^\\n]*" +
        "clock_nanosleep\\([^{]*\\{tv_sec=0, tv_nsec=(\\d+)\\}[^\\n]*\\n[^\\n]*read\\(" + port +
        ", ");
    ASSERT_TRUE(std::regex_search(after, at, drainSleepRead)) << after.substr(0, 400);
    EXPECT_GE(std::stol(at[1]), 16700000) << "the wait is shorter than the wake-up's wire time";
    auto count = [&after](const std::string &call) {
        std::regex pattern(call);
        return std::distance(std::sregex_iterator(after.begin(), after.end(), pattern),
                             std::sregex_iterator());
    };
    EXPECT_EQ(count("read\\(" + port + ", "), 200) << "the silence allowance is not 200 attempts";
    EXPECT_EQ(count("pselect6\\(\\d+, \\[" + port + "\\], NULL, NULL, \\{tv_sec=0, tv_nsec=100000\\}"), 200)
        << "an attempt is not followed by a wait of 100 us";
}

// A clear that lasts seconds is slept through once a whole silence
// allowance has passed, waking once a second at a terminal to count the
// silence: a run that polled on at every pause needs the CPU ten thousand
// times a second to keep the count, which a busy machine does not give it.
TEST(Waits, ALongClearIsSleptThroughAndCountedEachSecond) {
    std::string whyNot = shell("strace -o /dev/null true 2>&1 >/dev/null || true");
    if (!whyNot.empty()) SKIP_BECAUSE("strace cannot trace here: " + whyNot);
    ChipOptions slowClear = promptChip();
    slowClear.eraseMicros = 2500000;
    ChipOnPort chip(slowClear);
    std::string trace = scratchFile("", ".trace");
    HostSetup traced;
    traced.environment = {"ASAN_OPTIONS=detect_leaks=0"};
    traced.outputOnTerminal = true;
    HostRun run = startHost("strace", {"-o", trace, "-e", "trace=write,read", HEXPUSH_BINARY, "PORT", smallFile},
                            chip.port, traced);
    finishHosts({&run}, 30);
    std::string calls = readWholeFile(trace);
    size_t from = calls.find(", \"K\\r\\n\", 3)"), to = calls.find(", \"LB\\r\\n\", 4)");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << calls.substr(0, 2000);
    std::string port = calls.substr(calls.rfind("write(", from) + 6, from - calls.rfind("write(", from) - 6);
    long reads = 0;
    for (size_t at = from; (at = calls.find("read(" + port + ", ", at)) < to; ++at) ++reads;
    EXPECT_LT(reads, 230) << "the clear was polled through rather than slept through";
    for (const char *shown : {"loader silent 1 s\r", "loader silent 2 s\r"})
        EXPECT_NE(run.screen.find(shown), std::string::npos) << shown << " not in " << run.screen;
}

TEST_P(Port, UnusablePortsAreNamedAndLostOnesEndTheRunAtOnce) {
    std::string notSerial = windows() ? "NUL" : "/dev/null";
    std::string missing = windows() ? "COM250" : "/dev/no-such-port";
    std::string missingReason = windows() ? "File not found." : "No such file or directory";
    if (runsHere(notInBrowser)) {  // a page is given a port by the browser
        expectEnding(run({missing, smallFile}, promptChip()), 1, noLoaderLines,
                     missing + ": " + missingReason + "\n");
        for (const std::string &port : {notSerial, scratchFile("a regular file")})
            expectEnding(run({port, smallFile}, promptChip()), 1, noLoaderLines,
                         port + ": not a serial port\n");
    }

    for (bool duringClear : {true, false}) {
        ChipOptions chip = promptChip();
        chip.faults.hangUpOnCommand = duringClear ? 'K' : 0;
        chip.faults.hangUpAtLine = duringClear ? 0 : 1;
        // How long the run went on after the chip hung up: made again when
        // the chip, hexpush or the wait for its end was kept from the CPU.
        RunResult run;
        double after = 0;
        for (int attempt = 1;; ++attempt) {
            run = this->run({"PORT", smallFile}, chip, 10);
            after = run.started + run.seconds - run.session.endSeconds;
            bool busy = runsHere(notInBrowser) && after >= 1.0 &&
                        run.session.cpuQueueMicros + run.cpuQueueMicros >= lateForCpuMicros;
            if (!runAgain(attempt,
                          busy ? "the chip or hexpush was kept from the CPU: a busy machine" : ""))
                break;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out,
                  duringClear ? "Getting loader prompt...\nKlearing memory...\n" : loadStartLines);
        // The system reports the far end's close as a hang-up or as an I/O
        // error, depending on which it notices first; a browser, as a lost device.
        std::string reason = run.err.substr(std::min(run.err.size(), run.port.size() + 2));
        EXPECT_EQ(run.err, run.port + ": " + reason) << "the port is not named";
        EXPECT_TRUE(std::regex_match(reason, std::regex("(Device hung up|Input/output error|Not "
                                                        "ready.|The device has been lost.)\n")))
            << reason;
        // (The page's runner takes its browser down after the run.)
        if (runsHere(notInBrowser)) {
            EXPECT_LT(after, 1.0) << "the run went on after the port was gone";
        }
    }
    if (!runsHere(notInBrowser)) return;

    // What the Windows build decides without a port to show it: names past
    // COM9, and a refusal that Wine never gives.
    if (windows()) {
        HostSetup underWine;
        underWine.environment = wineEnvironment();
        HostRun run = startHost("wine", {WINDOWS_UNIT_TEST}, "", underWine);
        finishHosts({&run}, 30);
        return expectEnding(run, 0, "", "");
    }
    // The terminal hexpush runs in is no serial port: making it raw at the
    // chip's speed would leave the user a terminal that does not answer.
    HostSetup inTerminal;
    inTerminal.outputOnTerminal = inTerminal.errorOnTerminal = inTerminal.controllingTerminal =
        true;
    HostRun run = startHost(program(), {"/dev/tty", smallFile}, "", inTerminal);
    finishHosts({&run}, 10);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.screen.find("/dev/tty: the terminal hexpush runs in, not a serial port"),
              std::string::npos)
        << run.screen;
    EXPECT_TRUE((run.terminalAfter.c_lflag & (ECHO | ICANON)) == (ECHO | ICANON))
        << "the terminal was changed";
}

// What service managers, careless scripts and pipelines do to a run. With
// the standard descriptors closed, input that must be copied would leave the
// port on descriptor 2; a message about a rejected line must still not
// reach the chip. The copy is kept where TMPDIR says, and never left there.
TEST(Environment, ClosedDescriptorsAGoneReaderAndAReadOnlyFile) {
    std::string scratch = scratchFile("", ".d");
    unlink(scratch.c_str());
    ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
    HostSetup closed;
    closed.closed = {0, 1, 2};
    closed.environment = {"TMPDIR=" + scratch};
    ChipOptions rejecting = promptChip();
    rejecting.faults.rejectLine = 1;
    RunResult run =
        runHexpush({"PORT", fifoFeeding(readWholeFile(smallFile))}, rejecting, 30, closed);
    EXPECT_EQ(run.status, 1);
    expectDialog(run.session);
    EXPECT_EQ(run.session.received[stageRecords], dataRecord(0, {0x02, 0x00, 0x03}));
    EXPECT_EQ(rmdir(scratch.c_str()), 0) << "the copy of the input was left behind";
    std::string fifo = fifoFeeding(endRecord);
    closed.closed = {};
    expectEnding(runHexpush({"PORT", fifo}, promptChip(), 30, closed), 1, "",
                 fifo + ": cannot keep a copy in " + scratch + ": No such file or directory\n");

    HostSetup readerGone;
    readerGone.outputReaderGone = true;
    EXPECT_EQ(runHexpush({"PORT", smallFile}, promptChip(), 30, readerGone).status, 0)
        << "a reader that went away cut the load short";
    std::string readOnly = scratchFile(readWholeFile(smallFile));
    chmod(readOnly.c_str(), 0444);
    expectEnding(runHexpush({"PORT", readOnly}, promptChip(), 30, unprivileged), 0,
                 fourProgressLines, "");

    // Under nohup a hang-up stays ignored, the port claimed or not: one
    // comes while the chip holds back its verdict on the first line.
    for (int attempt = 1;; ++attempt) {
        std::atomic<bool> lineArrived{false}, hangUpSent{false};
        ChipOptions holdsLine = promptChip();
        holdsLine.onLine = [&](long line) {
            lineArrived = lineArrived || line == 1;
            while (line == 1 && !hangUpSent) usleep(1000);
        };
        ChipOnPort chip(holdsLine);
        HostRun nohup = startHost("nohup", {HEXPUSH_BINARY, "PORT", smallFile}, chip.port);
        for (int wait = 0; wait < 3000 && !lineArrived; ++wait) usleep(10000);
        kill(nohup.pid, SIGHUP);
        hangUpSent = true;
        finishHosts({&nohup}, 30);
        chip.finish();
        if (nohup.status != 0 && runAgain(attempt, keptFromCpuAsItWoke(chip.session))) continue;
        EXPECT_EQ(nohup.status, 0)
            << "a hang-up, ignored under nohup, ended the run: " << nohup.err;
        break;
    }
}

}  // namespace
