// Opening the HEX file so that it can be checked whole before the chip is
// woken, whatever kind of file it is.
#pragma once

// The most that is taken from a file that can be read only once (a pipe, a
// FIFO, a device): far beyond any image for this chip.
const long long hexFileLimit = 16LL * 1024 * 1024;

// Opens the file into fileHandle (run_state.h), or stops the run naming it.
// Input that can be read only once is first taken whole into a scratch file,
// so that it can be checked like a regular file and then streamed.
void openHexFile(const char *path);
