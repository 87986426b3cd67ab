// hexpush: loads an Intel HEX file into a DS89C420 through its ROM loader.
#include <cctype>
#include <climits>
#include <cstring>

#include "access_hint.h"
#include "arguments.h"
#include "console.h"
#include "file_io.h"
#include "hex_file.h"
#include "loader_dialog.h"
#include "record_stream.h"
#include "run_state.h"
#include "serial_link.h"

namespace {

const char usageText[] =
    "\nUsage: hexpush COM1 tarvo.hex [57600] \n\n  Port and file required, baud is optional";

// As atoi reads it (white space, a sign, the leading digits), but a number
// beyond the range of int is no rate rather than whatever it overflows to.
int rateArgument(const char *text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX) return 0;
    }
    return static_cast<int>(negative ? -value : value);
}

// A port that cannot be used shows as a missing loader, as it always has;
// standard error says why, and how to get access where that is the remedy.
// A port that another program holds is refused before anything is said.
void openPort(const char *path, int baudRate) {
    PortFailure failure;
    if (setUpPort(path, baudRate, failure)) return;
    if (failure.trouble == portInUse) stopWith(path, "Port is in use by another program");
    if (failure.trouble == portInUseOrLeftExclusive) {
        tell(path, "Port is in use by another program");
        stopWith(path, "or a hexpush that was killed left it exclusive: see hexpush(1), KILLED RUNS");
    }
    say("Getting loader prompt...");
    tell(path, failure.reason);
    if (failure.trouble == portDenied) hintAtAccess(path);
    sayAndStop("No 420 Loader found");
}

}  // namespace

int main(int argc, char *argv[]) {
    prepareConsole();
    takeArgumentsInUtf8(argc, argv);
    int baudRate = getBaudValue(57600);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        say("hexpush " HEXPUSH_VERSION);
        return 0;
    }
    if (argc < 3) {
        say(usageText);
        return 1;
    }
    if (argc == 4) baudRate = getBaudValue(rateArgument(argv[3]));

    // Everything about the file is checked before the port is touched, so a
    // bad file never costs the chip its memory.
    openHexFile(argv[2]);
    measureHexFile();
    openPort(argv[1], baudRate);

    getLoaderPrompt();
    clearMemory();
    startLoad();
    streamRecords();
    say("Done loading");

    closeFile(fileHandle);
    restorePort();
    return 0;
}
