#include <windows.h>

#include <cstdio>
#include <cstring>

#include "terminal.h"
#include "wide_text_windows.h"

namespace {

HANDLE output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

}  // namespace

// The C library hands a console's output over piece by piece, unbuffered,
// and a console may take milliseconds for each (Wine's: 56 ms a progress
// line): output is buffered instead, and each message flushed whole.
bool prepareStandardStreams() {
    setvbuf(stdout, nullptr, _IOFBF, 4096);
    return true;
}

bool outputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(output(), &mode) != 0;
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!GetConsoleScreenBufferInfo(output(), &screen)) return 0;
    return screen.srWindow.Right - screen.srWindow.Left + 1;
}

// Not every console takes escape sequences (Wine's does not, whatever it
// says): the line is overwritten with spaces, short of the last column.
const char *eraseLineText() {
    static char blank[512];
    int columns = terminalColumns();
    int spaces = columns > 1 && columns < static_cast<int>(sizeof blank) - 2 ? columns - 1 : 79;
    blank[0] = '\r';
    memset(blank + 1, ' ', spaces);
    blank[spaces + 1] = '\r';
    blank[spaces + 2] = '\0';
    return blank;
}

bool wireBytesShownEscaped() { return false; }

// A console takes UTF-16 through its own call, whatever its code page; a pipe
// or a file gets the UTF-8 itself, at once, in its place among the output's
// lines.
void writeErrorText(const char *text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    static wchar_t wide[widePathSize];
    DWORD written;
    if (GetConsoleMode(error, &mode) && toWide(text, wide, widePathSize))
        WriteConsoleW(error, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
    else
        fputs(text, stderr), fflush(stderr);
}

void writeOutputNow(const char *text) {
    DWORD written;
    WriteFile(output(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}
