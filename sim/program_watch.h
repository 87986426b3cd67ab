// A program's run on the virtual chip, watched from outside: its serial
// port on standard output and input, or on the pseudo-terminal the loader
// used, at the crystal's pace or as fast as the machine goes.
#pragma once

#include <cstdio>

#include "program_run.h"

// Runs on standard input and output: the program's bytes go out as it
// sends them, and what comes in goes to its receiver at its own speed, a
// byte whenever it has taken the one before. Runs until the run ends,
// or stopFd (when not -1) has a byte, which is then taken and returned (0
// when the run ended by itself).
char runOnStandardStreams(ProgramRun &run, bool realTime, int stopFd);

// The same on the master side of a pseudo-terminal, at the crystal's pace:
// bytes cross only where the port's speed matches the program's (within
// 3 %), as on a wire; a mismatch that lasts a second is told on log, once
// for each speed the port is set to.
char runOnPort(ProgramRun &run, int masterFd, int stopFd, FILE *log);
