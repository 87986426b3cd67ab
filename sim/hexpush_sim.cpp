// hexpush-sim: a virtual DS89C420 ROM loader on a pseudo-terminal, for trying
// and testing loads without a board.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image_file.h"
#include "pty_port.h"
#include "virtual_chip.h"

namespace {

std::atomic<bool> stopRequested{false};

struct ToolSettings {
    ChipOptions chip;
    bool once = false;
    std::string link;
    std::string imagePath;
    std::string format;  // "bin" or "hex"; chosen by the image's name if empty
};

const char usageText[] =
    "Usage: hexpush-sim [options]\n"
    "Serves the DS89C420 ROM loader on a new pseudo-terminal and prints its path.\n"
    "  --once                 serve one load, then exit (status 1 if it was not clean)\n"
    "  --link PATH            also make PATH a symbolic link to the port\n"
    "  --image FILE           write the chip's memory to FILE after each load\n"
    "  --format bin|hex       format of the image (default: hex for .hex/.ihx, else bin)\n"
    "  --flash-size BYTES     size of the chip's memory (default 16384)\n"
    "  --erase-ms MS          time the chip takes to clear its memory (default 50)\n"
    "  --line-us US           time the chip spends on each record (default 0)\n"
    "  --instant              answer at once instead of at the wire's pace\n"
    "  --accept-all           answer G to every line without judging it\n"
    "Faults:\n"
    "  --reject-line N        answer line N with a failure byte (--reject-with C, default H)\n"
    "  --banner wrong|none    answer the wake-up with a wrong banner, or not at all\n"
    "  --split-reply N:MS     send replies in bursts of N bytes with MS of silence between\n"
    "  --slow-reply MS        leave MS of silence between any two reply bytes\n"
    "  --garble K|LB          echo that command wrongly\n"
    "  --silent-from-line N   stop answering from line N on\n"
    "  --hang-up-at-line N    close the port when line N arrives\n";

[[noreturn]] void usage(const char *problem) {
    if (problem) fprintf(stderr, "hexpush-sim: %s\n", problem);
    fputs(usageText, problem ? stderr : stdout);
    exit(problem ? 2 : 0);
}

long number(const char *text) {
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (!*text || *end || value < 0) usage("expected a number");
    return value;
}

bool endsWith(const std::string &text, const char *suffix) {
    size_t length = strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

void applyFault(const std::string &option, const char *value, ChipOptions &chip) {
    ChipFaults &faults = chip.faults;
    if (option == "--reject-line")
        faults.rejectLine = number(value);
    else if (option == "--reject-with")
        faults.rejectVerdict = value[0];
    else if (option == "--banner" && !strcmp(value, "none"))
        faults.silent = true;
    else if (option == "--banner" && !strcmp(value, "wrong"))
        faults.banner = "\r\nDS89C420 LOADER VERSION 2.0\r\n> ";
    else if (option == "--slow-reply")
        faults.replyGapMicros = number(value) * 1000;
    else if (option == "--garble" && (!strcmp(value, "K") || !strcmp(value, "LB")))
        faults.garbleEchoOf = value[0];
    else if (option == "--silent-from-line")
        faults.silentFromLine = number(value);
    else if (option == "--hang-up-at-line")
        faults.hangUpAtLine = number(value);
    else if (option == "--split-reply" && strchr(value, ':')) {
        std::string burst(value, strchr(value, ':'));
        faults.burstBytes = static_cast<int>(number(burst.c_str()));
        faults.burstGapMicros = number(strchr(value, ':') + 1) * 1000;
    } else
        usage(("unknown option or value: " + option).c_str());
}

ToolSettings parseArguments(int argc, char *argv[]) {
    ToolSettings settings;
    settings.chip.log = stdout;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help") usage(nullptr);
        if (option == "--once") {
            settings.once = true;
            continue;
        }
        if (option == "--instant") {
            settings.chip.realTiming = false;
            continue;
        }
        if (option == "--accept-all") {
            settings.chip.judgeRecords = false;
            continue;
        }
        if (i + 1 >= argc) usage(("missing value for " + option).c_str());
        const char *value = argv[++i];
        if (option == "--link")
            settings.link = value;
        else if (option == "--image")
            settings.imagePath = value;
        else if (option == "--format" && (!strcmp(value, "bin") || !strcmp(value, "hex")))
            settings.format = value;
        else if (option == "--flash-size")
            settings.chip.flashSize = number(value);
        else if (option == "--erase-ms")
            settings.chip.eraseMicros = number(value) * 1000;
        else if (option == "--line-us")
            settings.chip.lineMicros = number(value);
        else
            applyFault(option, value, settings.chip);
    }
    if (settings.format.empty()) {
        bool hexName = endsWith(settings.imagePath, ".hex") || endsWith(settings.imagePath, ".ihx");
        settings.format = hexName ? "hex" : "bin";
    }
    return settings;
}

// One line about the load, then anything that went wrong; true if clean.
bool reportSession(const ChipSession &session, const ToolSettings &settings) {
    const ChipMemory &memory = session.memory;
    printf("load: %ld lines, %ld data bytes", session.lines, memory.dataBytes);
    if (memory.endWritten() > 0)
        printf(", 0x%04X-0x%04X", memory.lowWritten(), memory.endWritten() - 1);
    printf(", %.2f s at %d baud, %zu rejected\n", session.loadSeconds, session.baud,
           session.rejected.size());
    for (const std::string &error : session.protocolErrors) printf("protocol: %s\n", error.c_str());
    if (session.hungUp) printf("hung up as asked\n");
    bool complete = memory.endRecordSeen || !settings.chip.judgeRecords;
    if (!complete) printf("no end-of-file record: the load did not finish\n");
    bool clean =
        session.rejected.empty() && session.protocolErrors.empty() && memory.erased && complete;
    if (!settings.imagePath.empty()) {
        std::string image = settings.format == "hex" ? hexImage(memory) : binaryImage(memory);
        if (!writeImageFile(settings.imagePath, image)) {
            fprintf(stderr, "%s: %s\n", settings.imagePath.c_str(), strerror(errno));
            clean = false;
        }
    }
    fflush(stdout);
    return clean;
}

void onStopSignal(int) { stopRequested = true; }

}  // namespace

int main(int argc, char *argv[]) {
    ToolSettings settings = parseArguments(argc, argv);
    std::string portPath;
    int master = openVirtualPort(portPath);
    if (master < 0) {
        fprintf(stderr, "hexpush-sim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (!settings.link.empty()) {
        // Only a link left by an earlier run is replaced, never a real file.
        struct stat existing;
        if (lstat(settings.link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
            unlink(settings.link.c_str());
        }
        if (symlink(portPath.c_str(), settings.link.c_str()) != 0) {
            fprintf(stderr, "%s: %s\n", settings.link.c_str(), strerror(errno));
            return 1;
        }
    }
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    printf("%s\n", portPath.c_str());
    fflush(stdout);
    bool clean = true;
    while (master >= 0 && !stopRequested) {
        ChipSession session(settings.chip.flashSize);
        serveSession(master, settings.chip, session, &stopRequested);
        if (session.received[stageWake].empty()) continue;
        clean = reportSession(session, settings) && clean;
        if (settings.once) break;
    }
    if (!settings.link.empty()) unlink(settings.link.c_str());
    return settings.once && !clean ? 1 : 0;
}
