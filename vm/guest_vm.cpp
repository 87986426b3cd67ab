#include "guest_vm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "clock.h"

namespace {

const char qemuBinary[] = "qemu-system-x86_64";
const char doneMark[] = "@@done ";

double secondsSince(double start) { return secondsNow() - start; }

bool onPath(const std::string &program) {
    const char *path = getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::vector<std::string> qemuArguments(const std::string &imageDir, const GuestWiring &wiring,
                                       const std::string &qmpSocket) {
    std::vector<std::string> arguments{
        qemuBinary, "-nodefaults", "-no-user-config", "-display", "none", "-monitor", "none",
        "-serial", "stdio", "-no-reboot", "-m", "256",
        // Software emulation: the same everywhere, and fast enough to boot in
        // seconds. (KVM inside a virtual machine was seen to hang the guest.)
        "-accel", "tcg", "-kernel", imageDir + "/vmlinuz", "-initrd", imageDir + "/initrd.gz",
        "-append",
        "console=ttyS0 loglevel=1 panic=-1 hexpush.adapters=" +
            std::to_string(wiring.adapters.size()),
        "-qmp", "unix:" + qmpSocket + ",server=on,wait=off", "-device", "qemu-xhci,p2=15,p3=15"};
    for (size_t i = 0; i < wiring.adapters.size(); ++i) {
        std::string n = std::to_string(i);
        arguments.insert(arguments.end(),
                         {"-chardev", "serial,id=a" + n + ",path=" + wiring.adapters[i], "-device",
                          "usb-serial,chardev=a" + n + ",id=adapter" + n + ",serial=HP" + n});
    }
    for (size_t i = 0; i < wiring.uarts.size(); ++i) {
        std::string n = std::to_string(i);
        arguments.insert(arguments.end(),
                         {"-chardev", "serial,id=u" + n + ",path=" + wiring.uarts[i], "-device",
                          "isa-serial,chardev=u" + n + ",index=" + std::to_string(i + 1)});
    }
    return arguments;
}

size_t markStart(const std::string &text, const std::string &mark) {
    if (text.compare(0, mark.size(), mark) == 0) return 0;
    size_t at = text.find("\n" + mark);
    return at == std::string::npos ? at : at + 1;
}

// The console ends only with QEMU: every command after it fails at once, so
// how the guest ended is told once, with its console's last words (a
// panic's among them).
bool tellGuestGone(GuestVm &vm) {
    if (vm.pid <= 0 || vm.gone) return false;
    vm.gone = true;
    std::string how = "still running";
    siginfo_t ended{};
    // Looked at, not reaped: stopGuest does that.
    for (int wait = 0; wait < 100 && ended.si_pid == 0; ++wait) {
        if (waitid(P_PID, vm.pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0) break;
        if (ended.si_pid == 0) usleep(50000);
    }
    if (ended.si_pid == vm.pid)
        how = ended.si_code == CLD_EXITED ? "exit status " + std::to_string(ended.si_status)
                                          : std::string("killed by ") + strsignal(ended.si_status);
    size_t tail = vm.pending.size() > 3000 ? vm.pending.size() - 3000 : 0;
    fprintf(stderr, "the guest's console ended (QEMU: %s); its last output:\n%s\n", how.c_str(),
            vm.pending.substr(tail).c_str());
    return false;
}

// Takes console output until a line starting with the mark is complete, or
// the deadline passes. Returns the text before that line; the line itself
// is left in markLine.
bool readUntilMark(GuestVm &vm, const std::string &mark, std::string &before, std::string &markLine,
                   double deadlineSeconds) {
    double start = secondsNow();
    for (;;) {
        size_t at = markStart(vm.pending, mark);
        if (at != std::string::npos) {
            size_t end = vm.pending.find('\n', at);
            if (end != std::string::npos) {
                before = vm.pending.substr(0, at);
                markLine = vm.pending.substr(at, end - at);
                vm.pending.erase(0, end + 1);
                return true;
            }
        }
        double left = deadlineSeconds - secondsSince(start);
        if (left <= 0) return false;
        pollfd console{vm.console, POLLIN, 0};
        if (poll(&console, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char chunk[4096];
        ssize_t got = read(vm.console, chunk, sizeof chunk);
        if (got <= 0) return tellGuestGone(vm);
        vm.pending.append(chunk, got);
    }
}

bool sendQmp(int socket, const std::string &message) {
    return write(socket, message.data(), message.size()) == static_cast<ssize_t>(message.size());
}

// Reads QMP replies until one holds the text, or the socket goes quiet (for
// long enough that a busy host cannot be mistaken for it).
bool awaitQmp(int socket, const char *text, std::string &replies) {
    char chunk[4096];
    while (replies.find(text) == std::string::npos) {
        pollfd qmp{socket, POLLIN, 0};
        if (poll(&qmp, 1, 30000) <= 0) return false;
        ssize_t got = read(socket, chunk, sizeof chunk);
        if (got <= 0) return false;
        replies.append(chunk, got);
    }
    return true;
}

std::string decodeBase64(const std::string &text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0, value = 0;
    for (char c : text) {
        size_t digit = digits.find(c);
        if (digit == std::string::npos) continue;
        value = value << 6 | static_cast<unsigned>(digit);
        if ((bits += 6) >= 8) bytes += static_cast<char>(value >> (bits -= 8) & 0xFF);
    }
    return bytes;
}

}  // namespace

bool canRunGuest(std::string &why) {
    utsname machine;
    if (uname(&machine) != 0 || strcmp(machine.machine, "x86_64") != 0) {
        why = "its guest boots Debian's amd64 kernel, on an x86-64 machine only";
        return false;
    }
    if (!onPath(qemuBinary)) {
        why = std::string(qemuBinary) + " is not installed (Debian package qemu-system-x86)";
        return false;
    }
    return true;
}

bool startGuest(GuestVm &vm, const std::string &imageDir, const GuestWiring &wiring,
                std::string &problem, double deadlineSeconds) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        problem = strerror(errno);
        return false;
    }
    vm.qmpSocket = "/tmp/hexpush-vm-" + std::to_string(getpid()) + ".qmp";
    unlink(vm.qmpSocket.c_str());
    std::vector<std::string> arguments = qemuArguments(imageDir, wiring, vm.qmpSocket);
    std::vector<char *> pointers;
    for (std::string &argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    double start = secondsNow();
    vm.pid = fork();
    if (vm.pid == 0) {
        dup2(ends[1], STDIN_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    close(ends[1]);
    vm.console = ends[0];
    std::string boot, ready;
    if (!readUntilMark(vm, "@@ready", boot, ready, deadlineSeconds)) {
        problem = "the guest did not come up; its console said:\n" + boot + vm.pending;
        stopGuest(vm);
        return false;
    }
    vm.bootSeconds = secondsSince(start);
    std::stringstream lines(boot);
    for (std::string line; std::getline(lines, line);) {
        char serial[64], device[64];
        if (sscanf(line.c_str(), "@@adapter %63s %63s", serial, device) == 2)
            vm.ports[serial] = device;
    }
    return true;
}

void sendCommand(GuestVm &vm, const std::string &command) {
    std::string line = command + "\n";
    // A guest that is gone shows as a command that never ends.
    if (send(vm.console, line.data(), line.size(), MSG_NOSIGNAL) < 0) return;
}

std::string awaitCommand(GuestVm &vm, int &status, double deadlineSeconds) {
    std::string output, doneLine;
    status = -1;
    if (readUntilMark(vm, doneMark, output, doneLine, deadlineSeconds))
        status = atoi(doneLine.c_str() + strlen(doneMark));
    return output;
}

std::string runCommand(GuestVm &vm, const std::string &command, int &status,
                       double deadlineSeconds) {
    sendCommand(vm, command);
    return awaitCommand(vm, status, deadlineSeconds);
}

bool reportJob(GuestVm &vm, const std::string &job, GuestJob &report) {
    int status = -1;
    std::stringstream lines(runCommand(vm, "report " + job, status, 30));
    std::map<std::string, std::string> parts;
    std::string prefix = "@@" + job + ".";
    for (std::string line; std::getline(lines, line);) {
        size_t space = line.find(' ');
        if (line.rfind(prefix, 0) == 0 && space != std::string::npos)
            parts[line.substr(prefix.size(), space - prefix.size())] =
                decodeBase64(line.substr(space + 1));
    }
    report = {atoi(parts["status"].c_str()), parts["before"], parts["after"], parts["out"],
              parts["err"]};
    return status == 0 && parts.size() == 5;
}

bool unplugAdapter(GuestVm &vm, int adapter, std::string &problem) {
    int qmp = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, vm.qmpSocket.c_str(), sizeof address.sun_path - 1);
    std::string replies;
    bool unplugged = connect(qmp, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     awaitQmp(qmp, "\"QMP\"", replies) &&
                     sendQmp(qmp, "{\"execute\":\"qmp_capabilities\"}\n") &&
                     awaitQmp(qmp, "\"return\"", replies) &&
                     sendQmp(qmp, "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"adapter" +
                                      std::to_string(adapter) + "\"}}\n") &&
                     awaitQmp(qmp, "DEVICE_DELETED", replies);
    if (!unplugged) problem = "QMP: " + (replies.empty() ? strerror(errno) : replies);
    close(qmp);
    return unplugged;
}

void stopGuest(GuestVm &vm) {
    if (vm.pid <= 0) return;
    sendCommand(vm, "poweroff -f");
    for (int wait = 0; wait < 100; ++wait) {
        if (waitpid(vm.pid, nullptr, WNOHANG) == vm.pid) {
            vm.pid = -1;
            break;
        }
        usleep(50000);
    }
    if (vm.pid > 0) {
        kill(vm.pid, SIGKILL);
        waitpid(vm.pid, nullptr, 0);
        vm.pid = -1;
    }
    close(vm.console);
    unlink(vm.qmpSocket.c_str());
}
