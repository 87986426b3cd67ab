#include "load_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>

#include "clock.h"
#include "image_file.h"
#include "pty_port.h"
#include "wine_host.h"

extern char **environ;

const char browserPortName[] = "USB 0403:6001";

namespace {

// Descriptors are kept from every other child, so that a terminal or file is
// closed when its own run ends.
int scratchOutput(std::string &path) {
    path = "/tmp/hexpush-run-XXXXXX";
    return makeScratchFile(path);
}

std::string takeFile(const std::string &path) {
    std::string contents = readWholeFile(path);
    unlink(path.c_str());
    return contents;
}

// The scheduler's count of a task's waits for a CPU so far (a process's
// first thread's, readable while it is a zombie), in microseconds; -1 where
// the system does not say.
double runQueueMicrosOf(const std::string &pid) {
    std::ifstream stats("/proc/" + pid + "/schedstat");
    unsigned long long running = 0, waiting = 0;
    return stats >> running >> waiting ? waiting / 1e3 : -1;
}

// Blocks until the run ends and records how it ended.
void awaitExit(HostRun &run) {
    int status = 0;
    rusage usage{};
    siginfo_t ended{};
    Nanos queued = runQueueNanos();
    waitid(P_PID, run.pid, &ended, WEXITED | WNOWAIT);
    run.seconds = secondsNow() - run.started;
    run.cpuQueueMicros =
        (runQueueNanos() - queued) / 1e3 + std::max(0.0, runQueueMicrosOf(std::to_string(run.pid)));
    wait4(run.pid, &status, 0, &usage);
    run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

void readScreen(HostRun &run) {
    char chunk[1024];
    for (ssize_t got; (got = read(run.terminal, chunk, sizeof chunk)) > 0;)
        run.screen.append(chunk, got);
}

// A copy of the binary in a folder of its own that anyone may enter, made
// once a binary and removed when this process ends.
std::string readableCopy(const std::string &binary) {
    static struct Copies {
        std::map<std::string, std::string> paths;
        ~Copies() {
            for (const auto &copy : paths) {
                unlink(copy.second.c_str());
                rmdir(copy.second.substr(0, copy.second.rfind('/')).c_str());
            }
        }
    } copies;
    std::string &path = copies.paths[binary];
    if (path.empty()) {
        char folder[] = "/tmp/hexpush-copy-XXXXXX";
        if (!mkdtemp(folder) || chmod(folder, 0755) != 0) abort();
        path = std::string(folder) + "/" + binary.substr(binary.rfind('/') + 1);
        std::string contents = readWholeFile(binary);
        if (!writeImageFile(path, contents) || chmod(path.c_str(), 0755) != 0) abort();
    }
    return path;
}

// An arm64 program, on a machine of another kind, runs under qemu-user with
// the cross toolchain's libraries: neither root nor binfmt is needed.
bool isForeignArm64(const std::string &binary) {
    static bool arm64Machine = [] {
        utsname machine;
        return uname(&machine) == 0 && strcmp(machine.machine, "aarch64") == 0;
    }();
    const int elfMachineArm64 = 183;
    std::string header = readWholeFile(binary).substr(0, 20);
    return !arm64Machine && header.size() == 20 && header.compare(0, 4, "\x7f" "ELF") == 0 &&
           (static_cast<unsigned char>(header[18]) | header[19] << 8) == elfMachineArm64;
}

const char *const arm64Emulator[] = {"qemu-aarch64-static", "-L", "/usr/aarch64-linux-gnu"};

bool endsWith(const std::string &text, const std::string &end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool isWindowsBuild(const std::string &program) { return endsWith(program, ".exe"); }

// The caller's environment with the run's settings over it.
std::vector<std::string> environmentFor(const HostSetup &setup) {
    std::vector<std::string> environment;
    auto name = [](const std::string &setting) { return setting.substr(0, setting.find('=')); };
    for (char **setting = environ; *setting; ++setting) {
        bool replaced =
            std::any_of(setup.environment.begin(), setup.environment.end(),
                        [&](const std::string &own) { return name(own) == name(*setting); });
        if (!replaced) environment.push_back(*setting);
    }
    environment.insert(environment.end(), setup.environment.begin(), setup.environment.end());
    return environment;
}

std::vector<char *> pointersTo(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The names in a /proc folder.
std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    DIR *listing = opendir(folder.c_str());
    for (dirent *entry; listing && (entry = readdir(listing));) names.emplace_back(entry->d_name);
    if (listing) closedir(listing);
    return names;
}

}  // namespace

// Kernel threads are processes of their own, a task each.
std::map<std::string, double> kernelWorkerWaits() {
    std::map<std::string, double> waits;
    for (const std::string &pid : entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream name("/proc/" + pid + "/comm");
        std::string comm;
        if (!std::getline(name, comm) || comm.compare(0, 7, "kworker") != 0) continue;
        double waited = runQueueMicrosOf(pid);
        if (waited >= 0) waits[pid] = waited;
    }
    return waits;
}

double kernelWorkerWaitMicrosSince(const std::map<std::string, double> &before) {
    double waited = 0;
    for (const auto &[pid, now] : kernelWorkerWaits()) {
        auto then = before.find(pid);
        waited += then != before.end() && then->second <= now ? now - then->second : now;
    }
    return waited;
}

ChipOnPort::ChipOnPort(const ChipOptions &options)
    : master(openVirtualPort(port)), session(options.flashSize) {
    tcgetattr(master, &before);
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) abort();
    serve(options);
}

// The kernel's workers carry the port's bytes both ways: kept from the CPU,
// they hold the chip's replies back as surely as its own thread would, and
// so does a machine that lost time; in a session that carried bytes, those
// count as the chip's waits.
void ChipOnPort::serve(const ChipOptions &options) {
    std::map<std::string, double> workersBefore = kernelWorkerWaits();  // before a host can write
    double lostBefore = stalls.lostMicros();
    // A host started before the chip has left stale input would find the
    // port clean, and the chip would take the host's first bytes for its echo.
    std::promise<void> settled;
    std::future<void> portSettled = settled.get_future();
    thread = std::thread([this, options, workersBefore, lostBefore, &settled] {
        serveSession(master, options, session, stopPipe[0], [&settled] { settled.set_value(); });
        if (session.firstByteSeconds > 0)
            session.cpuQueueMicros +=
                kernelWorkerWaitMicrosSince(workersBefore) + stalls.lostMicros() - lostBefore;
    });
    portSettled.wait();
}

termios ChipOnPort::finish() {
    if (thread.joinable()) {
        char request = 's';
        if (write(stopPipe[1], &request, 1) != 1) abort();
        thread.join();
        while (read(stopPipe[0], &request, 1) == 1) continue;
    }
    termios now{};
    if (master >= 0) tcgetattr(master, &now);
    return now;
}

ChipSession ChipOnPort::reset(const ChipOptions &options) {
    finish();
    ChipSession ended = std::move(session);
    session = ChipSession(options.flashSize);
    serve(options);
    return ended;
}

ChipOnPort::~ChipOnPort() {
    finish();
    if (master >= 0) close(master);
    close(stopPipe[0]);
    close(stopPipe[1]);
}

HostRun startHost(const std::string &binary, const std::vector<std::string> &arguments,
                  const std::string &port, const HostSetup &setup) {
    HostRun run;
    int outFd = scratchOutput(run.outPath);
    int errFd = scratchOutput(run.errPath);
    if (setup.outputOnTerminal) {
        std::string terminalPath;
        run.terminal = openVirtualPort(terminalPath);
        winsize size{24, static_cast<unsigned short>(setup.columns), 0, 0};
        if (setup.columns > 0) ioctl(run.terminal, TIOCSWINSZ, &size);
        close(outFd);
        outFd = open(terminalPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (setup.errorOnTerminal) {
            close(errFd);
            errFd = fcntl(outFd, F_DUPFD_CLOEXEC, 0);
        }
    }
    if (setup.outputReaderGone) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) abort();
        close(ends[0]);
        close(outFd);
        outFd = ends[1];
    }
    bool dropRoot = setup.unprivileged && geteuid() == 0;
    std::vector<std::string> argv{dropRoot ? readableCopy(binary) : binary};
    if (isForeignArm64(binary))
        argv.insert(argv.begin(), std::begin(arm64Emulator), std::end(arm64Emulator));
    for (const std::string &argument : arguments)
        argv.push_back(argument == "PORT" ? port : argument);
    std::vector<std::string> environment = environmentFor(setup);
    std::vector<char *> argumentPointers = pointersTo(argv);
    std::vector<char *> environmentPointers = pointersTo(environment);
    run.started = secondsNow();
    run.processGroup = setup.processGroup;
    run.pid = fork();
    if (run.pid == 0) {
        if (setup.processGroup) setpgid(0, 0);
        if (setup.controllingTerminal) {
            setsid();
            ioctl(outFd, TIOCSCTTY, 0);
        }
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        for (int fd : setup.closed) close(fd);
        signal(SIGPIPE, SIG_DFL);
        rlimit noCoreFiles{0, 0};
        setrlimit(RLIMIT_CORE, &noCoreFiles);
        if (dropRoot &&
            (setgroups(0, nullptr) != 0 || setgid(nobodyId) != 0 || setuid(nobodyId) != 0))
            _exit(126);
        execvpe(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    return run;
}

std::string commandFor(const std::string &program) {
    if (isWindowsBuild(program)) return wineCommand(program);
    std::string command;
    if (isForeignArm64(program))
        for (const char *part : arm64Emulator) command += std::string(part) + " ";
    return command + program;
}

HostRun startHexpush(const std::string &program, const std::vector<std::string> &arguments,
                     const std::string &port, const HostSetup &setup) {
    if (endsWith(program, ".py")) {
        HostSetup browser = setup;
        browser.processGroup = true;  // the browser and its driver end with the run
        HostRun run = startHost(program, arguments, port, browser);
        run.port = browserPortName;
        return run;
    }
    if (!isWindowsBuild(program)) {
        HostRun run = startHost(program, arguments, port, setup);
        run.port = port;
        return run;
    }
    HostSetup underWine = setup;
    underWine.environment = wineEnvironment();
    std::vector<std::string> wineArguments{program};
    wineArguments.insert(wineArguments.end(), arguments.begin(), arguments.end());
    std::string com = linkComPort(port);
    HostRun run = startHost("wine", wineArguments, com, underWine);
    run.port = com;
    run.comLinked = true;
    return run;
}

void finishHosts(const std::vector<HostRun *> &runs, double deadlineSeconds) {
    // A blocking wait per run keeps the measured end of each run exact and
    // leaves the chips' threads undisturbed.
    StallWatch stalls;
    std::vector<std::atomic<bool>> ended(runs.size());
    std::vector<std::thread> waiters;
    for (size_t i = 0; i < runs.size(); ++i) {
        HostRun *run = runs[i];
        waiters.emplace_back([run, &ended, i] {
            awaitExit(*run);
            ended[i] = true;
        });
        // The terminal reports an error once the process is gone.
        if (run->terminal >= 0) waiters.emplace_back(readScreen, std::ref(*run));
    }
    double deadline = secondsNow() + deadlineSeconds;
    auto allEnded = [&] {
        return std::all_of(ended.begin(), ended.end(), [](auto &e) { return e.load(); });
    };
    while (!allEnded() && secondsNow() < deadline) usleep(10000);
    for (size_t i = 0; i < runs.size(); ++i) {
        if (ended[i]) continue;
        runs[i]->timedOut = true;
        kill(runs[i]->processGroup ? -runs[i]->pid : runs[i]->pid, SIGKILL);
    }
    for (std::thread &waiter : waiters) waiter.join();
    for (HostRun *run : runs) {
        run->cpuQueueMicros += stalls.lostMicros();
        if (run->terminal >= 0) {
            tcgetattr(run->terminal, &run->terminalAfter);
            close(run->terminal);
        }
        run->out = takeFile(run->outPath);
        run->err = takeFile(run->errPath);
        if (run->comLinked) unlinkComPort(run->port);
    }
}
