#include <windows.h>

#include <cstring>

#include "terminal.h"

namespace {

bool escapesWork = false;  // the console takes "\033[K"

HANDLE output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

}  // namespace

void prepareStandardStreams() {
    DWORD mode;
    if (GetConsoleMode(output(), &mode))
        escapesWork = SetConsoleMode(output(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
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

// Consoles older than Windows 10 take no escapes: the line is overwritten
// with spaces instead.
const char *eraseLineText() {
    if (escapesWork) return "\r\033[K";
    static char blank[512];
    if (blank[0] == '\0') {
        int columns = terminalColumns();
        int spaces = columns > 1 && columns < 500 ? columns - 1 : 79;
        blank[0] = '\r';
        memset(blank + 1, ' ', spaces);
        blank[spaces + 1] = '\r';
    }
    return blank;
}

void writeOutputNow(const char *text) {
    DWORD written;
    WriteFile(output(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}
