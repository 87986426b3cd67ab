// hexpush-sim as users run it: a scripted client, and hexpush itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

// The tool in the background, its output going to a file.
struct SimTool {
    pid_t pid = -1;
    std::string outPath;
    std::string port;

    explicit SimTool(std::vector<std::string> options) {
        outPath = scratchFile("", ".log");
        options.insert(options.begin(), SIM_BINARY);
        std::vector<char *> argv;
        for (std::string &option : options) argv.push_back(option.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
            dup2(out, 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int wait = 0; wait < 500 && port.empty(); ++wait) {
            usleep(10000);
            std::string out = readWholeFile(outPath);
            if (out.find('\n') != std::string::npos) port = out.substr(0, out.find('\n'));
        }
    }
    int finish() {
        int status = 0;
        for (int wait = 0; wait < 500 && waitpid(pid, &status, WNOHANG) == 0; ++wait) usleep(10000);
        if (kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const { return readWholeFile(outPath); }
};

// A minimal client that speaks the loader's protocol with blocking reads.
struct Client {
    int fd;
    explicit Client(const std::string &port) : fd(open(port.c_str(), O_RDWR | O_NOCTTY)) {
        termios raw;
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        cfsetspeed(&raw, B115200);
        tcsetattr(fd, TCSANOW, &raw);
    }
    ~Client() { close(fd); }
    std::string exchange(const std::string &sent, size_t replyLength) {
        EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
        std::string reply;
        char byte;
        while (reply.size() < replyLength && read(fd, &byte, 1) == 1) reply += byte;
        return reply;
    }
};

TEST(SimTool, JudgesEachRecordAndReportsTheLine) {
    SimTool tool({"--once", "--flash-size", "4096", "--erase-ms", "1"});
    ASSERT_FALSE(tool.port.empty());
    {
        Client client(tool.port);
        ASSERT_EQ(client.exchange("\r\n\r\n", 80).size(), 80u);
        EXPECT_EQ(client.exchange("K\r\n", 7), "K\r\n\r\n> ");
        EXPECT_EQ(client.exchange("LB\r\n", 4), "LB\r\n");
        std::string good = dataRecord(0x0100, {0xAA, 0xBB});
        std::string badChecksum = good;
        badChecksum[badChecksum.size() - 2] ^= 1;
        std::string verdicts;
        for (const std::string &line :
             {good, badChecksum, std::string(":0300000001FC\n"), std::string(":01000000ZZ00\n"),
              dataRecord(0x0FFF, {1, 2}), std::string(":00000007F9\n"), std::string("00000001FF\n")}) {
            verdicts += client.exchange(line, 1);
        }
        EXPECT_EQ(verdicts, "GCLHATS");
    }
    EXPECT_EQ(tool.finish(), 1) << "a load with rejected lines is not clean";
    std::string out = tool.output();
    for (const char *report :
         {"line 2 rejected with C: checksum mismatch", "line 3 rejected with L: length does not match",
          "line 4 rejected with H: not a hex digit pair", "line 5 rejected with A: address out of",
          "line 6 rejected with T: unknown record type", "line 7 rejected with S: no start code",
          "load: 7 lines, 2 data bytes, 0x0100-0x0101"}) {
        EXPECT_NE(out.find(report), std::string::npos) << report << " missing from:\n" << out;
    }
}

TEST(SimTool, ImageAfterALoadEqualsTheFile) {
    std::string hexPath = EXAMPLES_DIR "/blink.hex";
    for (const char *format : {".bin", ".hex"}) {
        std::string imagePath = scratchFile("", format);
        SimTool tool({"--once", "--image", imagePath});
        ASSERT_FALSE(tool.port.empty());
        std::string run = shell(std::string(HEXPUSH_BINARY) + " " + tool.port + " " + hexPath + " 115200");
        EXPECT_EQ(run, fourProgressLines);
        EXPECT_EQ(tool.finish(), 0) << tool.output();
        // srec_cat reads both image formats; the result must equal the file's.
        std::string inFormat = std::string(format) == ".hex" ? " -Intel" : " -Binary";
        std::string fromChip = shell("srec_cat " + imagePath + inFormat + " -o - -Intel -Output_Block_Size 16");
        std::string fromFile = shell("srec_cat " + hexPath + " -Intel -o - -Intel -Output_Block_Size 16");
        if (inFormat == " -Binary") {
            std::string end = std::to_string(readWholeFile(imagePath).size());
            fromFile = shell("srec_cat " + hexPath + " -Intel -fill 0xFF 0 " + end +
                             " -o - -Intel -Output_Block_Size 16");
        }
        EXPECT_EQ(fromChip, fromFile) << format;
    }
}

}  // namespace
