// hexpush-sim as users run it, and the records the virtual chip accepts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "harness.h"

namespace {

// Starts the tool; returns the port it prints on its first line.
std::string startTool(const std::vector<std::string> &options, HostRun &tool) {
    tool = startHost(SIM_BINARY, options, "");
    std::string out;
    for (int wait = 0; wait < 500 && out.find('\n') == std::string::npos; ++wait) {
        usleep(10000);
        out = readWholeFile(tool.outPath);
    }
    return out.substr(0, out.find('\n'));
}

// Each check the chip makes of a record, and the verdict byte it answers;
// then the tool's own account of a rejection, one asked for included.
TEST(SimTool, JudgesEachRecordAndReportsTheLine) {
    std::string good = dataRecord(0x0100, {0xAA, 0xBB}), badSum = good;
    badSum[4] ^= 1;  // another address, so the sum no longer adds up
    struct {
        std::string line;
        char verdict;
    } records[] = {{badSum, 'C'},
                   {":0300000001FC\n", 'L'},
                   {":01000000ZZ00\n", 'H'},
                   {dataRecord(0x0FFF, {1, 2}), 'A'},
                   {":00000007F9\n", 'T'},
                   {"00000001FF\n", 'S'}};
    ChipOptions small;
    small.flashSize = 4096;
    for (const auto &record : records) {
        RunResult run = runHexpush({"PORT", scratchFile(good + record.line + endRecord)}, small);
        EXPECT_EQ(run.out, std::string(loadStartLines) + record.verdict + "\nLoad failed\n\n");
        EXPECT_EQ(run.session.rejected.size(), 1u);
    }
    HostRun tool;
    std::string port = startTool({"--once", "--reject-line", "3"}, tool);
    HostRun host = startHost(HEXPUSH_BINARY, {"PORT", EXAMPLES_DIR "/blink.hex"}, port);
    finishHosts({&host, &tool}, 10);
    EXPECT_EQ(tool.status, 1) << "a load with a rejected line is not clean";
    for (const char *report :
         {"line 3 rejected with H: rejected as asked\n", "load: 3 lines, ", " baud, 1 rejected\n"})
        EXPECT_NE(tool.out.find(report), std::string::npos) << report << " missing from:\n"
                                                            << tool.out;
}

TEST(SimTool, ImageWrittenAfterALoadEqualsTheFile) {
    std::string hexPath = EXAMPLES_DIR "/blink.hex";
    for (std::string format : {".bin", ".hex"}) {
        std::string imagePath = scratchFile("", format);
        HostRun tool;
        std::string port = startTool({"--once", "--image", imagePath}, tool);
        EXPECT_EQ(shell(std::string(HEXPUSH_BINARY) + " " + port + " " + hexPath),
                  fourProgressLines);
        finishHosts({&tool}, 10);
        EXPECT_EQ(tool.status, 0) << tool.out;
        std::string size = std::to_string(readWholeFile(imagePath).size());
        std::string asRead = format == ".hex" ? " -Intel" : " -Binary";
        std::string fromFile = format == ".hex" ? " -Intel" : " -Intel -fill 0xFF 0 " + size;
        std::string toHex = " -o - -Intel -Output_Block_Size 16";
        EXPECT_EQ(shell("srec_cat " + imagePath + asRead + toHex),
                  shell("srec_cat " + hexPath + fromFile + toHex));
    }
}

// Runs the tool where it is expected to stop at once.
HostRun refusedTool(const std::vector<std::string> &options) {
    HostRun tool = startHost(SIM_BINARY, options, "");
    finishHosts({&tool}, 10);
    EXPECT_EQ(tool.out, "") << "a port was served";
    return tool;
}

TEST(SimTool, OptionsAreCheckedBeforeAPortIsServed) {
    struct Case {
        std::vector<std::string> options;
        std::string problem;
    } cases[] = {
        {{"--flash-size", "99999999999999"}, "--flash-size takes a number from 1 to 16777216"},
        {{"--erase-ms", "9223372036854775807"}, "--erase-ms takes a number from 0 to 600000"},
        {{"--split-reply", "4:-1"}, "--split-reply MS takes a number from 0 to 600000"},
        {{"--reject-line", "0x10"}, "--reject-line takes a number from 1 to 1000000000"},
        {{"--garble", "X"}, "--garble takes one of: K LB"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--once", "--link"}, "missing value for --link"},
    };
    for (const Case &bad : cases) {
        HostRun tool = refusedTool(bad.options);
        EXPECT_EQ(tool.status, 2);
        EXPECT_EQ(tool.err.substr(0, tool.err.find('\n')), "hexpush-sim: " + bad.problem);
    }
}

std::string linkTarget(const std::string &link) {
    char target[256];
    ssize_t length = readlink(link.c_str(), target, sizeof target);
    return length < 0 ? "" : std::string(target, length);
}

TEST(SimTool, LinkTakesOnlyALeftOverLinkAndRemovesOnlyItsOwn) {
    std::string link = scratchFile("", ".link");
    std::string usersFile = scratchFile("the user's own");
    unlink(link.c_str());
    ASSERT_EQ(symlink(usersFile.c_str(), link.c_str()), 0);
    EXPECT_EQ(refusedTool({"--link", link}).err, link + ": File exists\n");
    EXPECT_EQ(linkTarget(link), usersFile);

    unlink(link.c_str());
    ASSERT_EQ(symlink("/dev/pts/99999", link.c_str()), 0);  // from a chip that is gone
    HostRun first;
    std::string firstPort = startTool({"--link", link}, first);
    EXPECT_EQ(linkTarget(link), firstPort);
    EXPECT_EQ(refusedTool({"--link", link}).err, link + ": File exists\n")
        << "a live chip's link was taken";
    kill(first.pid, SIGTERM);
    finishHosts({&first}, 10);
    EXPECT_EQ(linkTarget(link), "") << "the link outlived its chip";

    HostRun second;
    startTool({"--link", link}, second);
    unlink(link.c_str());
    ASSERT_EQ(symlink(usersFile.c_str(), link.c_str()), 0);  // taken over meanwhile
    kill(second.pid, SIGTERM);
    finishHosts({&second}, 10);
    EXPECT_EQ(linkTarget(link), usersFile) << "a link that is no longer its own was removed";
    unlink(link.c_str());
}

}  // namespace
