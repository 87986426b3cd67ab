// The line-by-line transfer of the HEX file, one line in flight at a time.
#pragma once

#include <sys/types.h>

// Descriptor and name of the HEX file, owned by the entry point; -1 until opened.
extern int fileHandle;
extern const char *hexFileName;

// For a file that can be read twice, stops the run before the loader is woken
// if the file cannot be read or a line cannot fit the work buffer with its
// line feed. The file position is left where it was.
void checkLinesFit();

void streamRecords();

// Takes the transfer's progress line off a terminal and flushes standard
// output, so that the next message starts on a clean line.
void clearProgress();
