// hexpush: loads an Intel HEX file into a DS89C420 through its ROM loader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

[[noreturn]] void stopOnFile(const char *reason) {
    fprintf(stderr, "%s: %s\n", hexFileName, reason);
    exit(1);
}

// Everything about the file that can be known is checked before the port is
// touched, so a bad file never costs the chip its memory.
void openHexFile(const char *path) {
    hexFileName = path;
    fileHandle = open(path, O_RDONLY | O_NOCTTY);
    if (fileHandle < 0) stopOnFile(strerror(errno));
    struct stat fileStatus;
    if (fstat(fileHandle, &fileStatus) != 0) stopOnFile(strerror(errno));
    if (S_ISDIR(fileStatus.st_mode)) stopOnFile(strerror(EISDIR));
    if (!S_ISREG(fileStatus.st_mode)) return;
    checkLinesFit();
}

void openPort(const char *path, speed_t speedCode) {
    if (setUpPort(path, speedCode)) return;
    int reason = errno;
    if (reason == EBUSY) {
        fprintf(stderr, "%s: Port is in use by another program\n", path);
        exit(1);
    }
    puts("Getting loader prompt...");
    fflush(stdout);
    fprintf(stderr, "%s: %s\n", path, strerror(reason));
    puts("No 420 Loader found");
    exit(1);
}

}  // namespace

int main(int argc, char *argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    speed_t speedCode = B57600;
    if (argc < 3) {
        puts(usageText);
        return 1;
    }
    if (argc == 4) speedCode = getBaudValue(atoi(argv[3]));

    openHexFile(argv[2]);
    openPort(argv[1], speedCode);

    getLoaderPrompt();
    clearMemory();
    startLoad();
    streamRecords();
    puts("Done loading");

    close(fileHandle);
    restorePort();
    return 0;
}
