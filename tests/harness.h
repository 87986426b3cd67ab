// Runs the built hexpush against a virtual chip on a fresh pseudo-terminal.
#pragma once

#include <termios.h>

#include <string>
#include <vector>

#include "virtual_chip.h"

struct RunResult {
    int status = -1;        // exit status, or -1 if killed
    bool timedOut = false;  // still running at the deadline, then killed
    std::string out;        // standard output
    std::string err;        // standard error
    ChipSession session;
    termios before{};       // the port's attributes before the run
    termios after{};        // and after it
    std::string portPath;
    double seconds = 0;
};

// "PORT" in the arguments stands for the virtual port's path.
RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds = 30);

// A hexpush process started on its own, for runs that overlap or whose
// standard output is a terminal.
struct HexpushProcess {
    int pid = -1;
    std::string outPath;
    std::string errPath;
    int terminal = -1;       // master side of its standard output, if a terminal
    std::string screen;      // what it wrote to the terminal, as received
};
HexpushProcess startHexpush(const std::vector<std::string> &arguments, const std::string &port,
                            bool outputOnTerminal = false);
void finishHexpush(HexpushProcess &process, RunResult &result, double deadlineSeconds = 30);

// The lines a terminal shows after receiving these bytes (carriage return,
// line feed and erase-to-end-of-line are honoured).
std::string screenLines(const std::string &received);

// A scratch file with the given contents; removed at the end of the test run.
std::string scratchFile(const std::string &contents, const std::string &suffix = ".hex");
std::string readWholeFile(const std::string &path);

// Runs a shell command and returns its standard output; fails the test on a
// non-zero status.
std::string shell(const std::string &command);

bool sameAttributes(const termios &a, const termios &b);

// A well-formed Intel HEX data record.
std::string dataRecord(unsigned address, const std::vector<unsigned char> &data);
extern const char endRecord[];

// Bytes of each stage of a complete dialog up to load mode.
extern const char expectedWakeUp[];
extern const char expectedClear[];
extern const char expectedLoadCommand[];
extern const char fourProgressLines[];
