// hexpush-sim as users run it: against a scripted client, and with hexpush.
#include <fcntl.h>
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
    int port = open(startTool({"--once", "--flash-size", "4096", "--erase-ms", "1"}, tool).c_str(),
                    O_RDWR | O_NOCTTY);
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
          dataRecord(0x0FFF, {1, 2}), std::string(":00000007F9\n"), std::string("00000001FF\n")}) {
        verdicts += exchange(port, line, 1);
    }
    EXPECT_EQ(verdicts, "GCLHATS");
    close(port);
    finishHosts({&tool}, 10);
    EXPECT_EQ(tool.status, 1) << "a load with rejected lines is not clean";
    for (const char *report :
         {"line 2 rejected with C: checksum", "line 3 rejected with L: length",
          "line 4 rejected with H: not a hex digit", "line 5 rejected with A: address",
          "line 6 rejected with T: unknown record type", "line 7 rejected with S: no start",
          "load: 7 lines, 2 data bytes, 0x0100-0x0101"}) {
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

}  // namespace
