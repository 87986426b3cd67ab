// hexpush-sim as users run it, and the records the virtual chip accepts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "harness.h"
#include "numeric_speed.h"

namespace {

// The image replaces its file whole, so that a reader of the old one (a
// load of that very file, say) never sees it half written. A load with a
// rejected line is not clean, and the tool says which line failed.
TEST(SimTool, ImageWrittenAfterALoadEqualsTheFileAndRejectionsAreReported) {
    std::string hexPath = EXAMPLES_DIR "/blink.hex";
    for (std::string format : {".bin", ".hex", ""}) {
        std::string imagePath = scratchFile("what was there before", format);
        int reader = open(imagePath.c_str(), O_RDONLY);
        HostRun tool;
        loadThroughTool(format.empty() ? std::vector<std::string>{"--once", "--reject-line", "3"}
                                       : std::vector<std::string>{"--once", "--image", imagePath},
                        hexPath, tool);
        if (format.empty()) {
            EXPECT_EQ(tool.status, 1) << "a load with a rejected line is not clean";
            for (const char *report : {"line 3 rejected with H: rejected as asked\n",
                                       "load: 3 lines, ", " baud, 1 rejected\n"})
                EXPECT_NE(tool.out.find(report), std::string::npos)
                    << report << " not in " << tool.out;
            continue;
        }
        EXPECT_EQ(tool.status, 0) << tool.out;
        char old[64] = {};
        EXPECT_EQ(read(reader, old, sizeof old), 21) << "the old file was written over";
        close(reader);
        std::string binary = imagePath;
        if (format == ".hex")
            shell("srec_cat " + imagePath + " -Intel -o " + (binary = scratchFile("", ".bin")) +
                  " -Binary");
        shell(SOURCE_DIR "/scripts/check-image " + hexPath + " " + binary);
    }
}

// Each check the chip makes of a record (its line end taken off), with the
// verdict it answers.
TEST(SimTool, RecordsAreJudgedAsTheChipJudgesThem) {
    struct Case {
        std::string record;
        char verdict;
    } cases[] = {
        {":02010000AABB98", 'G'},
        {"", 'G'},
        {":02010100AABB98", 'C'},  // another address, so the sum no longer adds up
        {":0300000001FC", 'L'},
        {":0300000002000AF1 trailing words", 'G'},  // the chip passes over both
        {"  -- :0300000002000AF1", 'G'},
        {"0300000002000AF1", 'S'},
        {":01000000ZZ00", 'H'},
        {":020FFF000102ED", 'A'},  // past the 4096 bytes of this memory
        {":00000007F9", 'T'},
    };
    for (const Case &record : cases) {
        ChipMemory memory(4096);
        EXPECT_EQ(judgeRecord(record.record, memory).verdict, record.verdict) << record.record;
    }
}

// Runs the tool where it is expected to stop at once.
HostRun refusedTool(const std::vector<std::string> &options) {
    HostRun tool = startHost(SIM_BINARY, options, "");
    finishHosts({&tool}, 10);
    EXPECT_EQ(tool.out, "") << "a port was served";
    return tool;
}

// A wrong option ends the tool with status 2 and its name; an image that
// cannot be written, with status 1 and the system's reason.
TEST(SimTool, OptionsAndTheImagePathAreCheckedBeforeAPortIsServed) {
    struct Case {
        std::vector<std::string> options;
        std::string problem;
    } cases[] = {
        // Every number goes through one reading: past its range, and not decimal.
        {{"--flash-size", "99999999999999"}, "--flash-size takes a number from 1 to 16777216"},
        {{"--reject-line", "0x10"}, "--reject-line takes a number from 1 to 1000000000"},
        {{"--garble", "X"}, "--garble takes one of: K LB"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--once", "--link"}, "missing value for --link"},
        {{"--image", "/nonexistent/chip.bin"}, "/nonexistent/chip.bin: No such file or directory"},
    };
    for (const Case &bad : cases) {
        HostRun tool = refusedTool(bad.options);
        bool path = bad.problem[0] == '/';
        EXPECT_EQ(tool.status, path ? 1 : 2);
        EXPECT_EQ(tool.err.substr(0, tool.err.find('\n')),
                  (path ? "" : "hexpush-sim: ") + bad.problem);
    }
}

TEST(SimTool, LinkTakesOnlyALeftOverLinkAndRemovesOnlyItsOwn) {
    std::string link = scratchFile("", ".link"), usersFile = scratchFile("the user's own");
    const std::string gone = "/dev/pts/99999";  // the port of a chip that has gone
    auto pointLinkAt = [&link](const std::string &target) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    };
    pointLinkAt(usersFile);
    EXPECT_EQ(refusedTool({"--link", link}).err, link + ": File exists\n");
    EXPECT_EQ(linkTarget(link), usersFile);

    pointLinkAt(gone);
    for (int ending : {SIGTERM, SIGHUP, SIGKILL}) {
        HostRun chip;
        std::string port = startTool({"--link", link}, chip);
        EXPECT_EQ(linkTarget(link), port) << "after a chip ended by signal " << ending;
        EXPECT_EQ(refusedTool({"--link", link}).err, link + ": File exists\n")
            << "a live chip's link was taken";
        kill(chip.pid, ending);
        finishHosts({&chip}, 10);
        EXPECT_EQ(linkTarget(link), ending == SIGKILL ? port : "") << "ended by " << ending;
    }
    // Its port's number may be another program's by now; a link to a port
    // that has gone is taken over.
    pointLinkAt(gone);
    HostRun second;
    std::string port = startTool({"--link", link}, second);
    EXPECT_EQ(linkTarget(link), port);
    pointLinkAt(usersFile);  // taken over meanwhile
    kill(second.pid, SIGTERM);
    finishHosts({&second}, 10);
    EXPECT_EQ(linkTarget(link), usersFile) << "a link that is no longer its own was removed";
    unlink(link.c_str());
}

// Newer hosts, Wine among them, set the speed as a number rather than a code.
TEST(SimTool, ChipReadsTheSpeedHoweverTheHostSetIt) {
    ChipOnPort chip(promptChip());
    int host = open(chip.port.c_str(), O_RDWR | O_NOCTTY);
    termios raw;
    tcgetattr(host, &raw);
    cfmakeraw(&raw);
    tcsetattr(host, TCSANOW, &raw);
    if (!setWireBaudAsNumber(host, 2400))
        SKIP_BECAUSE(std::string("a speed cannot be set as a number here (TCSETS2): ") +
                     strerror(errno));
    char banner;
    EXPECT_EQ(write(host, "\r", 1), 1);
    EXPECT_EQ(read(host, &banner, 1), 1) << "the chip did not answer the wake-up";
    chip.finish();
    close(host);
    EXPECT_EQ(chip.session.baud, 2400);
    EXPECT_EQ(chip.session.received[stageWake], "\r");
}

}  // namespace
