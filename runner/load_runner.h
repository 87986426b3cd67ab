// Runs hexpush against virtual chips: each chip on its own pseudo-terminal in
// a thread of this process, each hexpush as a child process.
#pragma once

#include <termios.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "stall_watch.h"
#include "virtual_chip.h"

// How long each of the kernel's workers (among them those that move a
// pseudo-terminal's bytes) has waited for a CPU so far, in microseconds.
std::map<std::string, double> kernelWorkerWaits();
// How long they have waited since those figures, all told. Workers come and
// go on a busy machine: one gone since counts nothing (its earlier waits are
// not taken off the others'), one new since counts all of its waits.
double kernelWorkerWaitMicrosSince(const std::map<std::string, double> &before);

// A virtual chip on a fresh port, serving one session at a time. Its
// session counts the kernel workers' waits for a CPU, and the time the whole
// machine lost, as the chip's own.
struct ChipOnPort {
    std::string port;
    int master;
    termios before{};  // the port's attributes as the system made them
    ChipSession session;

    explicit ChipOnPort(const ChipOptions &options);
    ~ChipOnPort();
    // Ends the session (if the host has not) and returns the port's
    // attributes as they are now.
    termios finish();
    // Presses the chip's reset button: ends the session and serves a new
    // one with these options. Returns the session that ended.
    ChipSession reset(const ChipOptions &options);

  private:
    int stopPipe[2];
    StallWatch stalls;
    std::thread thread;
    void serve(const ChipOptions &options);
};

// One hexpush process. "PORT" in the arguments stands for the port's path.
// A run as nobody executes a copy of the binary that nobody may read, since
// the build may sit in a folder closed to others (root's home, say). An
// arm64 binary runs under qemu-user on a machine of another kind.
struct HostRun {
    int pid = -1;
    std::string port;        // the port as hexpush was given it
    bool comLinked = false;  // port is a COM name that Wine was given for the run
    int terminal = -1;       // master side of its standard output, if a terminal
    std::string outPath;
    std::string errPath;
    std::string out;          // standard output (when not a terminal)
    std::string err;          // standard error
    std::string screen;       // bytes it wrote to its terminal
    termios terminalAfter{};  // its terminal's attributes once it ended
    int status = -1;          // exit status, -1 if killed
    int signal = 0;           // the signal that ended it, if one did
    bool processGroup = false;  // its children are ended with it
    bool timedOut = false;    // still running at the deadline, then killed
    double started = 0;       // when it was started (clock.h)
    double seconds = 0;       // from start to exit
    double cpuSeconds = 0;    // user and system time
    // How long it waited for a CPU, and the wait for its end did, and the
    // machine stalled meanwhile, in microseconds.
    double cpuQueueMicros = 0;
};

// How a process is started, beyond its arguments.
struct HostSetup {
    bool outputOnTerminal = false;
    bool errorOnTerminal = false;          // standard error on the same terminal
    bool controllingTerminal = false;      // the terminal is its controlling terminal
    int columns = 0;                       // the terminal's width, if set
    bool outputReaderGone = false;         // standard output is a pipe nobody reads
    std::vector<int> closed;               // standard descriptors closed at the start
    bool unprivileged = false;             // run as nobody when started by root
    std::vector<std::string> environment;  // settings added to its environment
    bool processGroup = false;             // leads a process group, ended whole
};

// The port as the web page names it, from what its Web Serial says of it.
extern const char browserPortName[];

// The user an unprivileged run has when started by root.
const unsigned nobodyId = 65534;

HostRun startHost(const std::string &binary, const std::vector<std::string> &arguments,
                  const std::string &port, const HostSetup &setup = {});

// A shell command that runs the program as startHexpush does; its
// arguments follow.
std::string commandFor(const std::string &program);

// Starts hexpush; a Windows build (a .exe) runs under Wine, with the port
// given a COM name for the run; the web page's runner (a .py, whose first
// argument is the page) drives a browser, which names the port as Web
// Serial does.
HostRun startHexpush(const std::string &program, const std::vector<std::string> &arguments,
                     const std::string &port, const HostSetup &setup = {});

// Waits for every run to end, killing those still running at the deadline.
void finishHosts(const std::vector<HostRun *> &runs, double deadlineSeconds);
