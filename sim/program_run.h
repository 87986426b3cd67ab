// One run of a program on the virtual chip, however it is watched (standard
// output, a pseudo-terminal, the web page): the text it must send, or must
// not, a limit in chip time, what it sent, and the account at the end.
#pragma once

#include <string>

#include "chip_core.h"
#include "record_check.h"

struct RunOptions {
    std::string expectText;  // the run passes once the program has sent it
    std::string failText;    // and fails once it has sent this
    long timeoutMillis = 30000;  // of chip time; 0: none
    double crystalHz = defaultCrystalHz;
};

// How a run ended, and the status hexpush-sim ends with for it.
enum class RunEnd { running, expected, failed, timedOut, stopped, reset, interrupted };
const int timeoutStatus = 42;  // as the CI runners of other simulators have it
const int interruptedStatus = 130;  // as a shell reports Ctrl-C
int exitStatusFor(RunEnd end);

struct ProgramRun {
    RunOptions options;
    ChipCore chip;
    RunEnd end = RunEnd::running;
    Clocks endClocks = 0;  // when it ended, in chip time
    std::string recent;    // the last bytes sent, as long as the longer text
};

// Resets the chip into the program and starts a run.
void startRun(ProgramRun &run, const ChipMemory &memory, const RunOptions &options);
// Runs the chip up to the given chip time (or its end) and appends the
// bytes whose frames have ended by then to sent, with the speed of each,
// stopping at the byte that ends the run.
void advanceRun(ProgramRun &run, Clocks until, std::vector<SerialByte> &sent);
// Ends a run from outside (a reset, an interrupt).
void endRun(ProgramRun &run, RunEnd end);

// The account of a run: chip time and instructions, the serial port's speed
// as the program set it and what it moved, each pin's changes, the parts
// not simulated that it touched, and how it ended. Lines end in a line feed.
std::string runAccount(ProgramRun &run);

// Reads an Intel HEX file into the chip's memory, judging each record as
// the loader does; false, with the loader's account of what is wrong (or
// why the file cannot be read), if it would not load cleanly.
bool readProgramFile(const std::string &path, ChipMemory &memory, std::string &problems);

// Whether a line at lineBaud carries the program's bytes at programBaud:
// within 3 %, as UARTs tolerate.
bool speedsMatch(double programBaud, double lineBaud);
