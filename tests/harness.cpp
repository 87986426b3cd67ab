#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "pty_port.h"

const char endRecord[] = ":00000001FF\n";
const char expectedWakeUp[] = "\r\n\r\n";
const char expectedClear[] = "K\r\n";
const char expectedLoadCommand[] = "LB\r\n";
const char fourProgressLines[] =
    "Getting loader prompt...\nKlearing memory...\nLoading file...\nDone loading\n";

namespace {

std::vector<std::string> scratchFiles;

struct RemoveScratch {
    ~RemoveScratch() {
        for (const std::string &path : scratchFiles) unlink(path.c_str());
    }
} removeScratch;

pid_t startHexpush(const std::vector<std::string> &arguments, const std::string &port, int outFd,
                   int errFd) {
    std::vector<std::string> argv{HEXPUSH_BINARY};
    for (const std::string &argument : arguments) argv.push_back(argument == "PORT" ? port : argument);
    std::vector<char *> pointers;
    for (std::string &argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    return child;
}

int waitWithDeadline(pid_t child, double deadlineSeconds, bool &timedOut) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadlineSeconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::string scratchFile(const std::string &contents, const std::string &suffix) {
    std::string path = "/tmp/hexpush-test-XXXXXX" + suffix;
    int fd = mkstemps(path.data(), static_cast<int>(suffix.size()));
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
    scratchFiles.push_back(path);
    return path;
}

RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds) {
    RunResult result;
    result.session = ChipSession(options.flashSize);
    int master = openVirtualPort(result.portPath);
    EXPECT_GE(master, 0);
    tcgetattr(master, &result.before);
    std::string outPath = scratchFile("", ".out");
    std::string errPath = scratchFile("", ".err");
    int outFd = open(outPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int errFd = open(errPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);

    std::atomic<bool> stop{false};
    std::thread chip([&] { serveSession(master, options, result.session, &stop); });
    // The child inherits a fine timer slack, so its pauses are close to
    // what it asks for and timing margins are not hidden by the scheduler.
    prctl(PR_SET_TIMERSLACK, 1UL);
    auto started = std::chrono::steady_clock::now();
    pid_t child = startHexpush(arguments, result.portPath, outFd, errFd);
    close(outFd);
    close(errFd);
    result.status = waitWithDeadline(child, deadlineSeconds, result.timedOut);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    stop = true;
    chip.join();
    if (master >= 0) {
        tcgetattr(master, &result.after);
        close(master);
    }
    result.out = readWholeFile(outPath);
    result.err = readWholeFile(errPath);
    return result;
}

std::string shell(const std::string &command) {
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return output;
}

bool sameAttributes(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) &&
           std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

std::string dataRecord(unsigned address, const std::vector<unsigned char> &data) {
    unsigned sum = data.size() + (address >> 8) + (address & 0xFF);
    char text[16];
    snprintf(text, sizeof text, ":%02X%04X00", static_cast<unsigned>(data.size()), address);
    std::string record = text;
    for (unsigned char byte : data) {
        snprintf(text, sizeof text, "%02X", byte);
        record += text;
        sum += byte;
    }
    snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return record + text;
}
