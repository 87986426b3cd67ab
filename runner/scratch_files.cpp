#include "scratch_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
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

// Tests make scratch files from several threads at once.
void keepForRemoval(const std::string &path) {
    static std::mutex guard;
    std::lock_guard<std::mutex> held(guard);
    scratchPaths().push_back(path);
}

// Into a new file, which it closes.
void writeWhole(int fd, const std::string &contents) {
    if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) abort();
    close(fd);
}

enum class Holder { none, busy, reading };

bool isChildOfThisProcess(const std::string &procFolder) {
    std::string stat = readWholeFile(procFolder + "/stat");
    size_t afterName = stat.rfind(')');
    if (afterName == std::string::npos) return false;
    std::istringstream fields(stat.substr(afterName + 1));  // " STATE PARENT ..."
    char state = 0;
    long parent = 0;
    return fields >> state >> parent && parent == getpid();
}

// What a child of this process that has the terminal open is doing: blocked
// in a read of it, or something else; none once no child holds it.
Holder childHolderOf(const struct stat &terminal) {
    Holder found = Holder::none;
    DIR *processes = opendir("/proc");
    while (dirent *process = processes ? readdir(processes) : nullptr) {
        std::string base = "/proc/" + std::string(process->d_name);
        if (!isdigit(static_cast<unsigned char>(process->d_name[0])) || !isChildOfThisProcess(base))
            continue;
        DIR *files = opendir((base + "/fd").c_str());
        while (dirent *file = files && found != Holder::reading ? readdir(files) : nullptr) {
            struct stat status;
            if (stat((base + "/fd/" + file->d_name).c_str(), &status) != 0 ||
                status.st_dev != terminal.st_dev || status.st_ino != terminal.st_ino)
                continue;
            // "NUMBER FIRST-ARGUMENT ...", as the kernel shows a blocked call.
            std::istringstream call(readWholeFile(base + "/syscall"));
            long number = -1;
            std::string descriptor;
            bool reading = call >> number >> descriptor && number == SYS_read &&
                           strtoul(descriptor.c_str(), nullptr, 16) == strtoul(file->d_name, nullptr, 10);
            found = reading ? Holder::reading : Holder::busy;
        }
        if (files) closedir(files);
        if (found == Holder::reading) break;
    }
    if (processes) closedir(processes);
    return found;
}

}  // namespace

std::string scratchFile(const std::string &contents, const std::string &suffix) {
    std::string path = "/tmp/hexpush-test-XXXXXX" + suffix;
    int fd = makeScratchFile(path, static_cast<int>(suffix.size()));
    fchmod(fd, 0644);  // unprivileged runs read it too
    writeWhole(fd, contents);
    keepForRemoval(path);
    return path;
}

std::string deepScratchFile(const std::string &contents, size_t pathLength) {
    char top[] = "/tmp/hexpush-test-XXXXXX";
    if (!mkdtemp(top) || chmod(top, 0755) != 0) abort();
    std::string path = top;
    keepForRemoval(path);
    while (path.size() + 1 + 100 + 1 + 5 <= pathLength) {
        path += "/" + std::string(100, 'd');
        if (mkdir(path.c_str(), 0755) != 0) abort();
        keepForRemoval(path);
    }
    path += "/" + std::string(pathLength - path.size() - 5, 'f') + ".hex";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    writeWhole(fd, contents);
    keepForRemoval(path);
    return path;
}

// Each FIFO made here, what it is fed and whether a writer is at it: never
// destroyed, as writers waiting for a reader outlive the tests.
struct Feeding {
    std::string contents;
    bool writing = false;
};
std::map<std::string, Feeding> &feedings() {
    static auto *all = new std::map<std::string, Feeding>;
    return *all;
}
std::mutex &feedingsGuard() {
    static auto *guard = new std::mutex;
    return *guard;
}

// Once, by a writer of its own, unless one still waits for a reader there.
void feed(const std::string &path) {
    std::string contents;
    {
        std::lock_guard<std::mutex> held(feedingsGuard());
        Feeding &feeding = feedings()[path];
        if (feeding.writing) return;
        feeding.writing = true;
        contents = feeding.contents;
    }
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
        std::lock_guard<std::mutex> held(feedingsGuard());
        feedings()[path].writing = false;
    }).detach();
}

std::string fifoFeeding(const std::string &contents) {
    std::string path = scratchFile("", ".fifo");
    unlink(path.c_str());
    mkfifo(path.c_str(), 0644);
    {
        std::lock_guard<std::mutex> held(feedingsGuard());
        feedings()[path].contents = contents;
    }
    feed(path);
    return path;
}

bool fifoFedAgain(const std::string &path) {
    {
        std::lock_guard<std::mutex> held(feedingsGuard());
        if (feedings().count(path) == 0) return false;
    }
    feed(path);
    return true;
}

std::string ptyFailingAfter(const std::string &contents) {
    std::string path;
    int farSide = openVirtualPort(path);
    int watch = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw;
    tcgetattr(watch, &raw);
    cfmakeraw(&raw);
    tcsetattr(watch, TCSANOW, &raw);
    if (write(farSide, contents.data(), contents.size()) != ssize_t(contents.size())) abort();
    std::thread([farSide, watch, size = static_cast<int>(contents.size())] {
        struct stat terminal;
        fstat(watch, &terminal);
        // The bytes reach the terminal's input a moment after the write.
        for (int unread = 0; ioctl(watch, FIONREAD, &unread) == 0 && unread < size;) usleep(1000);
        for (int unread = 1; ioctl(watch, FIONREAD, &unread) == 0 && unread > 0;) usleep(1000);
        // Closed under a read that waits, the far side fails it; a read that
        // came after would find a hung-up terminal, which reads as the end.
        while (childHolderOf(terminal) == Holder::busy) usleep(1000);
        close(farSide);
        close(watch);
    }).detach();
    return path;
}
