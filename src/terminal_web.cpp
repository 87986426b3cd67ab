#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "terminal.h"

// The page takes both streams byte by byte, as they are written.
bool prepareStandardStreams() { return true; }

// The page draws the progress line as a bar, and keeps only whole lines in
// its log, as a terminal's screen would.
bool outputIsTerminal() { return true; }

int terminalColumns() { return 0; }

const char *eraseLineText() { return "\r\033[K"; }

bool wireBytesShownEscaped() { return true; }

void writeOutputNow(const char *text) {
    if (write(STDOUT_FILENO, text, strlen(text)) < 0) {
        // Nothing more can be done about a lost update of the page.
    }
}

void writeErrorText(const char *text) { fputs(text, stderr); }
