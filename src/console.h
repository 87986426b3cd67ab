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
// One byte from the wire on standard output, as putc writes it (escaped
// where the output is a log rather than a terminal: terminal.h).
void sayByte(char byte);

// "THING: REASON" on standard error.
void tell(const char *thing, const char *reason);
// Bytes from the wire as text that is safe on any terminal: printable ASCII
// as it stands, and \\, \r, \n, \t or \xNN for the rest, so that no byte can
// move the cursor, retitle a window or reach the user's shell. Cut short to
// fit the space, which holds at least one byte.
void escapeBytes(const unsigned char *bytes, int count, char *text, int space);
// The same, then the run ends with status 1.
[[noreturn]] void stopWith(const char *thing, const char *reason);
// The reason is the system's, for its last failed call.
[[noreturn]] void stopWithSystemError(const char *thing);
// A whole message on standard error, then status 1.
[[noreturn]] void stopSaying(const char *message);
// A line on standard output, then status 1.
[[noreturn]] void sayAndStop(const char *line);

// Whether a progress line is drawn: only at a terminal.
bool progressWanted();
// The transfer's progress line under "Loading file...". totalLines and
// totalBytes are 0 where they are not known.
void startProgress(long totalLines, long long totalBytes);
void advanceProgress(long linesAccepted, int lineBytes);
// A loader that has said nothing for this many whole seconds.
void showLoaderSilence(long seconds);
// Takes the line off the screen and flushes standard output, so that the
// next message starts on a clean line.
void clearProgress();
// The same, from a signal handler that is about to end the run.
void eraseProgressAfterSignal();
