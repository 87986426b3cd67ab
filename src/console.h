// What a run says: the fixed lines on standard output, the reasons on standard
// error, and the progress line at a terminal. Every other unit speaks through
// here, so a message is formatted in one place.
#pragma once

// Makes sure descriptors 0, 1 and 2 are open, so that neither the file nor
// the port can take their place, and keeps a reader of the output that goes
// away from ending the load.
void prepareConsole();

// A line on standard output, as puts writes it. A failed write is ignored:
// a lost log line is better than a half-loaded chip.
void say(const char *line);
// One byte on standard output, as putc writes it.
void sayByte(char byte);

// "THING: REASON" on standard error.
void tell(const char *thing, const char *reason);
// The same, then the run ends with status 1.
[[noreturn]] void stopWith(const char *thing, const char *reason);
// The reason is the one errno holds.
[[noreturn]] void stopWithErrno(const char *thing);
// A whole message on standard error, then status 1.
[[noreturn]] void stopSaying(const char *message);

// The progress line under "Loading file...", drawn only on a terminal.
// totalLines and totalBytes are 0 where they are not known.
void startProgress(long totalLines, long long totalBytes);
void advanceProgress(long linesSent, int lineBytes);
// Whether the line is being drawn; a silent loader is then counted aloud.
bool progressWanted();
void showLoaderSilence(long seconds);
// Takes the line off the screen and flushes standard output, so that the
// next message starts on a clean line.
void clearProgress();
