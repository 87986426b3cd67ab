// hexpush: loads an Intel HEX file into a DS89C420 through its ROM loader.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "access_hint.h"
#include "console.h"
#include "hex_file.h"
#include "loader_dialog.h"
#include "record_stream.h"
#include "serial_link.h"

unsigned char loadBuffer[loadBufferSize];
int bufferedCount = 0;
int fileHandle = -1;
const char *hexFileName = "";

namespace {

const char usageText[] =
    "\nUsage: hexpush COM1 tarvo.hex [57600] \n\n  Port and file required, baud is optional";

// A port that cannot be used shows as a missing loader, as it always has;
// standard error says why, and how to get access where that is the remedy.
void openPort(const char *path, speed_t speedCode) {
    if (setUpPort(path, speedCode)) return;
    int reason = errno;
    if (reason == EBUSY) stopWith(path, "Port is in use by another program");
    say("Getting loader prompt...");
    tell(path, strerror(reason));
    if (reason == EACCES) hintAtAccess(path);
    say("No 420 Loader found");
    exit(1);
}

}  // namespace

int main(int argc, char *argv[]) {
    prepareConsole();
    speed_t speedCode = B57600;
    if (argc < 3) {
        say(usageText);
        return 1;
    }
    if (argc == 4) speedCode = getBaudValue(atoi(argv[3]));

    // Everything about the file is checked before the port is touched, so a
    // bad file never costs the chip its memory.
    openHexFile(argv[2]);
    checkLinesFit();
    openPort(argv[1], speedCode);

    getLoaderPrompt();
    clearMemory();
    startLoad();
    streamRecords();
    say("Done loading");

    close(fileHandle);
    restorePort();
    return 0;
}
