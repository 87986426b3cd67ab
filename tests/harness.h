// Helpers for running the built hexpush against the virtual chip.
#pragma once

#include <string>
#include <vector>

#include "image_file.h"
#include "load_runner.h"

struct RunResult : HostRun {
    ChipSession session;
    std::string port;
    termios before{};  // the port's attributes before the run
    termios after{};   // and after it
};

// Runs hexpush on a fresh virtual chip; "PORT" stands for the chip's port.
RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds = 30, const HostSetup &setup = {});

// A scratch file, removed when the tests end.
std::string scratchFile(const std::string &contents, const std::string &suffix = ".hex");
// Standard output of a shell command that must succeed.
std::string shell(const std::string &command);
bool sameAttributes(const termios &a, const termios &b);
// A well-formed Intel HEX data record, with its line feed.
std::string dataRecord(unsigned address, const std::vector<unsigned char> &data);
// The chip was woken, cleared and put in load mode, each exactly once.
void expectDialog(const ChipSession &session);
// The chip received the file byte for byte, took every line, and holds
// exactly what srec_cat makes of the file.
void expectChipHolds(const ChipSession &session, const std::string &hexPath);
void expectEnding(const HostRun &run, int status, const std::string &out, const std::string &err);
// What a terminal shows after these bytes (\r, \n and erase-to-end honoured).
std::string screenLines(const std::string &received);

// Lets the user of unprivileged runs open the port, when the tests run as root.
void letNobodyUse(const std::string &port);
extern const HostSetup unprivileged;

extern const char endRecord[];
extern const char loadStartLines[];
extern const char fourProgressLines[];
