// hexpush-sim: a virtual DS89C420 ROM loader on a pseudo-terminal, for trying
// and testing loads without a board.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "chip_account.h"
#include "image_file.h"
#include "program_watch.h"
#include "pty_port.h"
#include "virtual_chip.h"
#include "wire_speed.h"

namespace {

// Signals become requests on this pipe, so that the chip can sleep until
// the host writes, a reply is due, or the user asks for something.
int requestPipe[2];
const char quitRequest = 'q';
const char resetRequest = 'r';

struct ToolSettings {
    ChipOptions chip;
    bool once = false;
    std::string link;
    std::string imagePath;
    std::string format;  // "bin" or "hex"; chosen by the image's name if empty
    std::string runFile;  // run this program, without the loader
    bool runAfterLoad = false;
    bool realTime = false;
    RunOptions run;
    std::set<std::string> given;  // the options on the command line
};

const char usageText[] =
    "Usage: hexpush-sim [options]\n"
    "Serves the DS89C420 ROM loader on a new pseudo-terminal and prints its path.\n"
    "  --once                 serve one load, then exit (status 1 if it was not clean)\n"
    "  --link PATH            also make PATH a symbolic link to the port\n"
    "  --image FILE           write the chip's memory to FILE after each load\n"
    "  --format bin|hex       format of the image (default: hex for .hex/.ihx, else bin)\n"
    "  --flash-size BYTES     size of the chip's memory (default %zu)\n"
    "  --erase-ms MS          time the chip takes to clear its memory (default 50)\n"
    "  --line-us US           time the chip spends on each record (default 0)\n"
    "  --instant              answer at once instead of at the wire's pace\n"
    "  --accept-all           answer G to every line without judging it\n"
    "  --version              print the version and exit\n"
    "Faults:\n"
    "  --reject-line N        answer line N with a failure byte (--reject-with C, default H)\n"
    "  --banner HOW           answer the wake-up otherwise, as a chip or a line may:\n"
    "                         none, echo, cut, awake, wrong, sister or noise\n"
    "  --split-reply N:MS     send replies in bursts of N bytes with MS of silence between\n"
    "  --slow-reply MS        leave MS of silence between any two reply bytes\n"
    "  --garble K|LB          echo that command wrongly\n"
    "  --silent-from-line N   stop answering from line N on\n"
    "  --hang-up-at-line N    close the port when line N arrives\n"
    "Running the program:\n"
    "  --run FILE.hex         run a program without the loader: its serial port on standard\n"
    "                         output and input, the account on standard error\n"
    "  --run-after-load       after a clean load, run the program on the port once the host\n"
    "                         closes it\n"
    "  --expect-text TEXT     end the run with status 0 once the program has sent TEXT\n"
    "  --fail-text TEXT       end it with status 1 once the program has sent TEXT\n"
    "  --timeout MS           end it with status 42 after MS of chip time (default 30000; 0: never)\n"
    "  --crystal HZ           the chip's crystal (default 11059200)\n"
    "  --real-time            run at the crystal's pace, as when standard input is a terminal\n"
    "Signals: SIGUSR1 presses the chip's reset button; SIGINT, SIGTERM or SIGHUP end it.\n";

[[noreturn]] void usage(const std::string &problem) {
    if (!problem.empty()) fprintf(stderr, "hexpush-sim: %s\n", problem.c_str());
    fprintf(problem.empty() ? stdout : stderr, usageText, defaultFlashSize);
    exit(problem.empty() ? 0 : 2);
}

// Every number is checked against the range it makes sense in before
// anything is served, so a typo cannot crash or overflow the chip later.
long number(const std::string &option, const char *text, long low, long high) {
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(text, &end, 10);
    bool digitsOnly = isdigit(static_cast<unsigned char>(*text)) && *end == '\0';
    if (!digitsOnly || errno == ERANGE || value < low || value > high) {
        usage(option + " takes a number from " + std::to_string(low) + " to " +
              std::to_string(high));
    }
    return static_cast<long>(value);
}

const long mostLines = 1000000000;
const long mostMillis = 600000;
const long mostRunMillis = 86400000;  // a day of chip time
const long lowestCrystal = 1000, highestCrystal = 33000000;  // the chip runs up to 33 MHz

bool endsWith(const std::string &text, const char *suffix) {
    size_t length = strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

const char *required(const std::string &option, const char *value) {
    if (!value) usage("missing value for " + option);
    return value;
}

// The value of an option that takes one of a few words.
std::string oneOf(const std::string &option, const char *value, const char *words) {
    required(option, value);
    std::string list = std::string(" ") + words + " ";
    if (list.find(std::string(" ") + value + " ") == std::string::npos)
        usage(option + " takes one of: " + words);
    return value;
}

// Options that set one of the chip's numbers: the range it is given in, and
// what that is multiplied by.
struct NumberOption {
    const char *name;
    long ChipOptions::*option;
    long ChipFaults::*fault;
    long low, high, scale;
};

const NumberOption numberOptions[] = {
    {"--erase-ms", &ChipOptions::eraseMicros, nullptr, 0, mostMillis, 1000},
    {"--line-us", &ChipOptions::lineMicros, nullptr, 0, mostMillis * 1000, 1},
    {"--reject-line", nullptr, &ChipFaults::rejectLine, 1, mostLines, 1},
    {"--slow-reply", nullptr, &ChipFaults::replyGapMicros, 0, mostMillis, 1000},
    {"--silent-from-line", nullptr, &ChipFaults::silentFromLine, 1, mostLines, 1},
    {"--hang-up-at-line", nullptr, &ChipFaults::hangUpAtLine, 1, mostLines, 1},
};

void splitReplies(const std::string &option, const char *value, ChipFaults &faults) {
    const char *colon = strchr(value, ':');
    if (!colon) usage(option + " takes BYTES:MS");
    faults.burstBytes =
        static_cast<int>(number(option + " BYTES", std::string(value, colon).c_str(), 1, 1024));
    faults.burstGapMicros = number(option + " MS", colon + 1, 0, mostMillis) * 1000;
}

// Applies an option that takes a value (null if none followed it); false if
// there is no such option.
bool applyValued(const std::string &option, const char *value, ToolSettings &settings) {
    ChipOptions &chip = settings.chip;
    ChipFaults &faults = chip.faults;
    for (const NumberOption &known : numberOptions) {
        if (option != known.name) continue;
        long given = number(option, required(option, value), known.low, known.high) * known.scale;
        (known.option ? chip.*known.option : faults.*known.fault) = given;
        return true;
    }
    if (option == "--link") {
        settings.link = required(option, value);
    } else if (option == "--image") {
        settings.imagePath = required(option, value);
    } else if (option == "--format") {
        settings.format = oneOf(option, value, "bin hex");
    } else if (option == "--flash-size") {
        chip.flashSize = number(option, required(option, value), 1, maxFlashSize);
    } else if (option == "--reject-with") {
        std::string verdict = required(option, value);
        if (verdict.size() != 1 || verdict == "G") usage(option + " takes one byte other than G");
        faults.rejectVerdict = verdict[0];
    } else if (option == "--banner") {
        wakeUpFault(oneOf(option, value, wakeUpFaults), faults);
    } else if (option == "--garble") {
        faults.wrongReplyTo = oneOf(option, value, "K LB")[0];
        faults.wrongReply = faults.wrongReplyTo == 'K' ? "k\r\n\r\n> " : "lb\r\n";
    } else if (option == "--split-reply") {
        splitReplies(option, required(option, value), faults);
    } else if (option == "--run") {
        settings.runFile = required(option, value);
    } else if (option == "--expect-text" || option == "--fail-text") {
        std::string text = required(option, value);
        if (text.empty()) usage(option + " takes a text that is not empty");
        (option == "--expect-text" ? settings.run.expectText : settings.run.failText) = text;
    } else if (option == "--timeout") {
        settings.run.timeoutMillis = number(option, required(option, value), 0, mostRunMillis);
    } else if (option == "--crystal") {
        settings.run.crystalHz = number(option, required(option, value), lowestCrystal, highestCrystal);
    } else {
        return false;
    }
    return true;
}

// The options of a run make sense only with one; a load's port, link and
// image only without --run.
void checkRunOptions(const ToolSettings &settings) {
    bool running = !settings.runFile.empty() || settings.runAfterLoad;
    for (const char *option : {"--expect-text", "--fail-text", "--timeout", "--crystal", "--real-time"}) {
        if (settings.given.count(option) && !running)
            usage(std::string(option) + " is for a run: --run FILE or --run-after-load");
    }
    for (const char *option : {"--once", "--link", "--image"}) {
        if (settings.given.count(option) && !settings.runFile.empty())
            usage(std::string(option) + " is for loads, not for --run");
    }
    if (!settings.runFile.empty() && settings.runAfterLoad)
        usage("--run and --run-after-load: one or the other");
    if (settings.runAfterLoad && !settings.chip.judgeRecords)
        usage("--run-after-load runs what the records wrote: not with --accept-all");
}

ToolSettings parseArguments(int argc, char *argv[]) {
    ToolSettings settings;
    settings.chip.log = stdout;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        settings.given.insert(option);
        if (option == "--help") usage("");
        if (option == "--version") {
            printf("hexpush-sim %s\n", HEXPUSH_VERSION);
            exit(0);
        }
        if (option == "--once")
            settings.once = true;
        else if (option == "--instant")
            settings.chip.realTiming = false;
        else if (option == "--accept-all")
            settings.chip.judgeRecords = false;
        else if (option == "--run-after-load")
            settings.runAfterLoad = true;
        else if (option == "--real-time")
            settings.realTime = true;
        else if (!applyValued(option, i + 1 < argc ? argv[i + 1] : nullptr, settings))
            usage("unknown option " + option);
        else
            ++i;
    }
    checkRunOptions(settings);
    if (settings.format.empty()) {
        bool hexName = endsWith(settings.imagePath, ".hex") || endsWith(settings.imagePath, ".ihx");
        settings.format = hexName ? "hex" : "bin";
    }
    return settings;
}

// The chip's account of the load, then its image; true if clean.
bool reportSession(const ChipSession &session, const ToolSettings &settings) {
    bool clean = true;
    fputs(sessionAccount(session, settings.chip.judgeRecords, clean).c_str(), stdout);
    if (!settings.imagePath.empty()) {
        std::string image = settings.format == "hex" ? hexImage(session.memory)
                                                     : binaryImage(session.memory);
        if (!writeImageFile(settings.imagePath, image)) {
            fprintf(stderr, "%s: %s\n", settings.imagePath.c_str(), strerror(errno));
            clean = false;
        }
    }
    fflush(stdout);
    return clean;
}

void request(char what) {
    int savedErrno = errno;
    if (write(requestPipe[1], &what, 1) != 1) {
        // A full pipe already holds a request.
    }
    errno = savedErrno;
}

void onQuitSignal(int) { request(quitRequest); }
void onResetSignal(int) { request(resetRequest); }

// A link is replaced only when it is left from a virtual chip that has gone:
// a link to a pseudo-terminal that no longer exists, or that is this chip's
// own (a new port may get the number of one that has gone). Anything else at
// the path is the user's, and stays.
bool takeLink(const std::string &link, const std::string &port) {
    struct stat existing;
    if (lstat(link.c_str(), &existing) == 0) {
        std::string target = linkTarget(link);
        if (S_ISLNK(existing.st_mode) && target == port) return true;
        struct stat targetStatus;
        bool leftOver = S_ISLNK(existing.st_mode) && target.rfind("/dev/pts/", 0) == 0 &&
                        stat(target.c_str(), &targetStatus) != 0;
        if (!leftOver) {
            errno = EEXIST;
            return false;
        }
        unlink(link.c_str());
    }
    return symlink(port.c_str(), link.c_str()) == 0;
}

// Another chip may have taken the link over since; it is then left alone.
void giveUpLink(const std::string &link, const std::string &port) {
    if (linkTarget(link) == port) unlink(link.c_str());
}

// A program run without the loader, for CI: its serial port on standard
// output and input, at the crystal's pace only where someone may type.
int runProgramFile(const ToolSettings &settings) {
    ChipMemory memory(settings.chip.flashSize);
    std::string problems;
    if (!readProgramFile(settings.runFile, memory, problems)) {
        fputs(problems.c_str(), stderr);
        return 1;
    }
    ProgramRun run;
    startRun(run, memory, settings.run);
    char request = runOnStandardStreams(run, settings.realTime || isatty(STDIN_FILENO), requestPipe[0]);
    if (request) endRun(run, request == resetRequest ? RunEnd::reset : RunEnd::interrupted);
    fputs(runAccount(run).c_str(), stderr);
    return exitStatusFor(run.end);
}

// After a clean load, the program the host loaded, on the same port; the
// request that ended it, if one did.
char runAfterLoad(int master, const ChipSession &session, const ToolSettings &settings, int &status) {
    ProgramRun run;
    startRun(run, session.memory, settings.run);
    char request = runOnPort(run, master, requestPipe[0], stderr);
    if (request) endRun(run, request == resetRequest ? RunEnd::reset : RunEnd::interrupted);
    fputs(runAccount(run).c_str(), stderr);
    status = exitStatusFor(run.end);
    return request;
}

void catchSignals() {
    signal(SIGINT, onQuitSignal);
    signal(SIGTERM, onQuitSignal);
    signal(SIGHUP, onQuitSignal);
    signal(SIGUSR1, onResetSignal);
}

}  // namespace

int main(int argc, char *argv[]) {
    ToolSettings settings = parseArguments(argc, argv);
    if (pipe2(requestPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    if (!settings.runFile.empty()) {
        catchSignals();
        return runProgramFile(settings);
    }
    std::string portPath;
    int master = openVirtualPort(portPath);
    if (master < 0) {
        fprintf(stderr, "hexpush-sim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    // Without the speed there is no wire time to keep.
    if (wireBaud(master) <= 0) {
        fprintf(stderr,
                "hexpush-sim: cannot tell the speed set on %s, so cannot keep the wire's time\n",
                portPath.c_str());
        return 1;
    }
    if (!settings.link.empty() && !takeLink(settings.link, portPath)) {
        fprintf(stderr, "%s: %s\n", settings.link.c_str(), strerror(errno));
        return 1;
    }
    if (!settings.imagePath.empty() && !canWriteFile(settings.imagePath)) {
        fprintf(stderr, "%s: %s\n", settings.imagePath.c_str(), strerror(errno));
        if (!settings.link.empty()) giveUpLink(settings.link, portPath);
        return 1;
    }
    catchSignals();
    printf("%s\n", portPath.c_str());
    fflush(stdout);
    bool clean = true;
    bool served = false;
    int runStatus = 0;
    char request = 0;
    while (master >= 0 && request != quitRequest) {
        ChipSession session(settings.chip.flashSize);
        serveSession(master, settings.chip, session, requestPipe[0]);
        if (read(requestPipe[0], &request, 1) != 1) request = 0;
        if (session.received[stageWake].empty()) continue;
        bool loaded = reportSession(session, settings);
        clean = loaded && clean;
        served = true;
        if (settings.runAfterLoad && loaded && !request && master >= 0)
            request = runAfterLoad(master, session, settings, runStatus);
        if (settings.once) break;
    }
    if (!settings.link.empty()) giveUpLink(settings.link, portPath);
    if (!settings.once) return 0;
    return served && clean ? runStatus : 1;
}
