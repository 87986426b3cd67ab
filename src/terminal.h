// What the console needs to know of where its output goes, one
// implementation a system (terminal_posix.cpp, terminal_windows.cpp,
// terminal_web.cpp).
#pragma once

// Makes the standard streams safe to use, whatever state the caller left
// them in; false if that cannot be done.
bool prepareStandardStreams();

// Whether standard output is a terminal that a line can be redrawn on.
bool outputIsTerminal();

// The terminal's width in columns; 0 when it does not say.
int terminalColumns();

// Carriage return, then what clears the rest of the line.
const char *eraseLineText();

// Whether the one byte from the wire that a terminal shows as it came (a
// rejected line's verdict) is shown escaped instead, as in a web page's log.
bool wireBytesShownEscaped();

// Writes to standard output at once, past its buffer. Safe in a signal
// handler.
void writeOutputNow(const char *text);

// Writes UTF-8 text to standard error, so that names read as the user wrote
// them whether it is a terminal, a pipe or a file.
void writeErrorText(const char *text);
