// The HEX file as each system gives it, one implementation a system
// (file_io_posix.cpp, file_io_windows.cpp, file_io_web.cpp; scratch files
// where the system is POSIX, scratch_file_posix.cpp). Files are read byte
// for byte.
#pragma once

// Opens the file for reading, or ends the run naming it. readOnce is set for
// input that can be read only once (a pipe, a FIFO, a device, a file a web
// page was given); knownSize is how much such input holds, where the system
// says so before it is read, and -1 where it does not.
int openInputFile(const char *path, bool &readOnce, long long &knownSize);

// A file of the system's scratch folder that is gone once closed; -1 if
// there is none to be had.
int openScratchFile();
// Where scratch files are kept, for messages.
const char *scratchFolder();

// Up to count bytes; 0 at the end, -1 on an error.
long readFile(int file, void *space, long count);
bool writeFile(int file, const void *bytes, long count);
// Back to the first byte; false if the file cannot go back.
bool rewindFile(int file);
void closeFile(int file);
