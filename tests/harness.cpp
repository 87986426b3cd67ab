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

HexpushProcess startHexpush(const std::vector<std::string> &arguments, const std::string &port,
                            bool outputOnTerminal) {
    HexpushProcess process;
    process.outPath = scratchFile("", ".out");
    process.errPath = scratchFile("", ".err");
    int outFd = open(process.outPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int errFd = open(process.errPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (outputOnTerminal) {
        std::string terminalPath;
        process.terminal = openVirtualPort(terminalPath);
        close(outFd);
        outFd = open(terminalPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    std::vector<std::string> argv{HEXPUSH_BINARY};
    for (const std::string &argument : arguments) argv.push_back(argument == "PORT" ? port : argument);
    std::vector<char *> pointers;
    for (std::string &argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    // The child inherits a fine timer slack, so its pauses are close to
    // what it asks for and timing margins are not hidden by the scheduler.
    prctl(PR_SET_TIMERSLACK, 1UL);
    process.pid = fork();
    if (process.pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    return process;
}

void finishHexpush(HexpushProcess &process, RunResult &result, double deadlineSeconds) {
    std::thread screenReader;
    if (process.terminal >= 0) {
        screenReader = std::thread([&process] {
            char chunk[1024];
            ssize_t got;
            while ((got = read(process.terminal, chunk, sizeof chunk)) > 0) process.screen.append(chunk, got);
        });
    }
    result.status = waitWithDeadline(process.pid, deadlineSeconds, result.timedOut);
    if (screenReader.joinable()) {
        screenReader.join();  // the terminal reports an error once the child is gone
        close(process.terminal);
    }
    result.out = readWholeFile(process.outPath);
    result.err = readWholeFile(process.errPath);
}

std::string screenLines(const std::string &received) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (size_t i = 0; i < received.size(); ++i) {
        std::string &line = lines.back();
        if (received.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else if (received[i] == '\r') {
            column = 0;
        } else if (received[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            if (column >= line.size()) line.resize(column + 1, ' ');
            line[column++] = received[i];
        }
    }
    std::string screen;
    for (size_t i = 0; i + 1 < lines.size(); ++i) screen += lines[i] + "\n";
    return screen + lines.back();
}

RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds) {
    RunResult result;
    result.session = ChipSession(options.flashSize);
    int master = openVirtualPort(result.portPath);
    EXPECT_GE(master, 0);
    tcgetattr(master, &result.before);
    std::atomic<bool> stop{false};
    std::thread chip([&] { serveSession(master, options, result.session, &stop); });
    auto started = std::chrono::steady_clock::now();
    HexpushProcess process = startHexpush(arguments, result.portPath);
    finishHexpush(process, result, deadlineSeconds);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    stop = true;
    chip.join();
    if (master >= 0) {
        tcgetattr(master, &result.after);
        close(master);
    }
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
