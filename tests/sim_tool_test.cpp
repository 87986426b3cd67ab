// hexpush-sim as users run it: against a scripted client, and with hexpush.
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
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

std::string exchange(int port, const std::string &sent, size_t replyLength) {
    EXPECT_EQ(write(port, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    std::string reply;
    char byte;
    while (reply.size() < replyLength && read(port, &byte, 1) == 1) reply += byte;
    return reply;
}

TEST(SimTool, JudgesEachRecordAndReportsTheLine) {
    HostRun tool;
    std::string path =
        startTool({"--once", "--flash-size", "4096", "--erase-ms", "1", "--reject-line", "8"}, tool);
    int port = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios raw;
    tcgetattr(port, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(port, TCSANOW, &raw);
    EXPECT_EQ(exchange(port, "\r\n\r\n", 80).size(), 80u);
    EXPECT_EQ(exchange(port, "K\r\n", 7), "K\r\n\r\n> ");
    EXPECT_EQ(exchange(port, "LB\r\n", 4), "LB\r\n");
    std::string good = dataRecord(0x0100, {0xAA, 0xBB});
    std::string badChecksum = good;
    badChecksum[4] ^= 1;  // another address, so the sum no longer adds up
    std::string verdicts;
    for (const std::string &line :
         {good, badChecksum, std::string(":0300000001FC\n"), std::string(":01000000ZZ00\n"),
          dataRecord(0x0FFF, {1, 2}), std::string(":00000007F9\n"), std::string("00000001FF\n"),
          std::string(endRecord)}) {
        verdicts += exchange(port, line, 1);
    }
    EXPECT_EQ(verdicts, "GCLHATSH");
    close(port);
    finishHosts({&tool}, 10);
    EXPECT_EQ(tool.status, 1) << "a load with rejected lines is not clean";
    for (const char *report :
         {"line 2 rejected with C: checksum", "line 3 rejected with L: length",
          "line 4 rejected with H: not a hex digit", "line 5 rejected with A: address",
          "line 6 rejected with T: unknown record type", "line 7 rejected with S: no start",
          "line 8 rejected with H: rejected as asked",
          "load: 8 lines, 2 data bytes, 0x0100-0x0101, ", " baud, 7 rejected"}) {
        EXPECT_NE(tool.out.find(report), std::string::npos) << report << " missing from:\n"
                                                            << tool.out;
    }
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
