#include "scratch_files.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "image_file.h"
#include "pty_port.h"

namespace {

// Made on first use: test files may ask for scratch files while starting up.
std::vector<std::string> &scratchPaths() {
    static struct ScratchFiles {
        std::vector<std::string> paths;
        ~ScratchFiles() {
            // Files before the folders that hold them.
            for (auto path = paths.rbegin(); path != paths.rend(); ++path) remove(path->c_str());
        }
    } files;
    return files.paths;
}

// Into a new file, which it closes.
void writeWhole(int fd, const std::string &contents) {
    if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) abort();
    close(fd);
}

}  // namespace

std::string scratchFile(const std::string &contents, const std::string &suffix) {
    std::string path = "/tmp/hexpush-test-XXXXXX" + suffix;
    int fd = makeScratchFile(path, static_cast<int>(suffix.size()));
    fchmod(fd, 0644);  // unprivileged runs read it too
    writeWhole(fd, contents);
    scratchPaths().push_back(path);
    return path;
}

std::string deepScratchFile(const std::string &contents, size_t pathLength) {
    char top[] = "/tmp/hexpush-test-XXXXXX";
    if (!mkdtemp(top) || chmod(top, 0755) != 0) abort();
    std::string path = top;
    scratchPaths().push_back(path);
    while (path.size() + 1 + 100 + 1 + 5 <= pathLength) {
        path += "/" + std::string(100, 'd');
        if (mkdir(path.c_str(), 0755) != 0) abort();
        scratchPaths().push_back(path);
    }
    path += "/" + std::string(pathLength - path.size() - 5, 'f') + ".hex";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    writeWhole(fd, contents);
    scratchPaths().push_back(path);
    return path;
}

std::string fifoFeeding(const std::string &contents) {
    std::string path = scratchFile("", ".fifo");
    unlink(path.c_str());
    mkfifo(path.c_str(), 0644);
    std::thread([path, contents] {
        // A reader that stops early must not end the tests by SIGPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        int fd = open(path.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < contents.size();) {
            ssize_t put = write(fd, contents.data() + at, contents.size() - at);
            if (put <= 0) break;  // the reader stopped early
            at += put;
        }
        close(fd);
    }).detach();
    return path;
}

std::string ptyFailingAfter(const std::string &contents) {
    std::string path;
    int farSide = openVirtualPort(path);
    int watch = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios raw;
    tcgetattr(watch, &raw);
    cfmakeraw(&raw);
    tcsetattr(watch, TCSANOW, &raw);
    if (write(farSide, contents.data(), contents.size()) != ssize_t(contents.size())) abort();
    std::thread([farSide, watch] {
        for (int unread = 1; ioctl(watch, FIONREAD, &unread) == 0 && unread > 0;) usleep(1000);
        close(farSide);
        close(watch);
    }).detach();
    return path;
}
