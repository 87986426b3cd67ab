#include "harness.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <regex>

#include "image_file.h"
#include "wine_host.h"

const char endRecord[] = ":00000001FF\n";
const char loadStartLines[] = "Getting loader prompt...\nKlearing memory...\nLoading file...\n";
const char noLoaderLines[] = "Getting loader prompt...\nNo 420 Loader found\n";
const char fourProgressLines[] =
    "Getting loader prompt...\nKlearing memory...\nLoading file...\nDone loading\n";

const HostSetup unprivileged = [] {
    HostSetup setup;
    setup.unprivileged = true;
    return setup;
}();

void letNobodyUse(const std::string &port) {
    if (geteuid() == 0) {
        EXPECT_EQ(chown(port.c_str(), nobodyId, -1), 0);
    }
}

namespace {

// Windows writes its text with CRLF line ends; anything else is a fault.
std::string fromWindowsText(const std::string &text) {
    std::string plain = std::regex_replace(text, std::regex("\r\n"), "\n");
    EXPECT_EQ(std::count(plain.begin(), plain.end(), '\n'),
              std::count(text.begin(), text.end(), '\r'))
        << "a line end that is not CRLF in: " << text;
    return plain;
}

}  // namespace

const char *programOf(Build build) {
    const char *programs[] = {HEXPUSH_BINARY, HEXPUSH_EXE, HEXPUSH_ARM64, BROWSER_RUNNER};
    return programs[static_cast<int>(build)];
}

std::string buildName(Build build) {
    const char *names[] = {"Native", "Windows", "Arm64", "Browser"};
    return names[static_cast<int>(build)];
}

std::string buildProblem(Build build) {
    static std::string windows = [] {
        std::string why;
        if (access(HEXPUSH_EXE, X_OK) != 0) return std::string(HEXPUSH_EXE_MISSING);
        if (!prepareWine(why)) return why;
        return std::string();
    }();
    static std::string arm64 = [] {
        if (access(HEXPUSH_ARM64, X_OK) != 0) return std::string(HEXPUSH_ARM64_MISSING);
        if (system("command -v qemu-aarch64-static >/dev/null") != 0)
            return std::string("qemu-user is not installed (qemu-user-static)");
        return std::string();
    }();
    static std::string browser = [] {
        if (access(BROWSER_PAGE, R_OK) != 0) return std::string(BROWSER_PAGE_MISSING);
        return shell(BROWSER_RUNNER " --why-not");
    }();
    if (build == Build::windows) return windows;
    if (build == Build::browser) return browser;
    return build == Build::arm64 ? arm64 : "";
}

bool inCi() {
    const char *ci = getenv("CI");
    return ci && *ci && strcmp(ci, "false") != 0 && strcmp(ci, "0") != 0;
}

void AnyBuild::SetUp() {
    std::string problem = buildProblem(GetParam());
    if (!problem.empty()) SKIP_BECAUSE("no " + buildName(GetParam()) + " build: " + problem);
}

ChipOptions promptChip() {
    ChipOptions options;
    options.realTiming = false;
    options.eraseMicros = 0;
    return options;
}

namespace {

RunResult runOnce(const std::vector<std::string> &arguments, const ChipOptions &options,
                  double deadlineSeconds, const HostSetup &setup, Build build) {
    RunResult result;
    ChipOnPort chip(options);
    if (setup.unprivileged) letNobodyUse(chip.port);
    // Children inherit a fine timer slack, so their 100 us pauses last about
    // that long and timing margins are not hidden by the scheduler.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<std::string> given = arguments;
    if (build == Build::browser) given.insert(given.begin(), BROWSER_PAGE);
    static_cast<HostRun &>(result) = startHexpush(programOf(build), given, chip.port, setup);
    // The deadline only guards against a run that hangs; a browser's start
    // on a busy machine takes a while of its own.
    finishHosts({&result}, deadlineSeconds + (build == Build::browser ? 60 : 0));
    result.after = chip.finish();
    result.before = chip.before;
    result.session = chip.session;
    if (build == Build::windows) {
        result.out = fromWindowsText(result.out);
        result.err = fromWindowsText(result.err);
    }
    return result;
}

// The page's runner says when the test bridge, a hop of the test's own
// wire, was kept from the CPU (page_kit.py): taken out of what the page
// said, and returned.
std::string bridgeCpuWait(RunResult &result) {
    std::smatch said;
    if (!std::regex_search(result.err, said, std::regex("page: the test bridge waited [0-9]+ ms for a CPU\n")))
        return "";
    std::string wait = said.str();
    result.err.erase(said.position(), said.length());
    return wait.substr(6, wait.size() - 7);
}

// A FIFO is read once: a run made again has it fed again.
bool fedAfresh(const std::vector<std::string> &arguments) {
    struct stat status;
    return std::all_of(arguments.begin(), arguments.end(), [&](const std::string &argument) {
        return stat(argument.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode) || fifoFedAgain(argument);
    });
}

}  // namespace

bool runAgain(int attempt, const std::string &why) {
    if (why.empty() || attempt == 10) return false;
    printf("run again: %s\n", why.c_str());
    return true;
}

std::string keptFromCpuAsItWoke(const ChipSession &session) {
    if (!session.received[stageClear].empty() || session.cpuQueueMicros < lateForCpuMicros) return "";
    return "the chip (its thread, or the kernel's workers that move its port's bytes) waited " +
           std::to_string(std::lround(session.cpuQueueMicros / 1000)) +
           " ms for a CPU, or the machine stalled, as it woke";
}

// A busy machine may keep the chip from the CPU for longer than hexpush
// waits for the banner, which no loader would do: a run that ended there
// with the chip kept waiting says nothing of hexpush. Nor does a Windows run
// that ended without a word: every ending of hexpush's says something, so
// Wine never ran it (seen once in CI, as Wine's servers came and went). The
// page's test bridge is kept from the CPU as the chip is, and says so. A run
// that ended as the case expects is never run again.
RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds, const HostSetup &setup, Build build,
                     const std::function<bool(const RunResult &)> &endedAsExpected) {
    for (int attempt = 1;; ++attempt) {
        RunResult result = runOnce(arguments, options, deadlineSeconds, setup, build);
        std::string bridgeWait = bridgeCpuWait(result);
        if (endedAsExpected && endedAsExpected(result)) return result;
        const ChipSession &chip = result.session;
        std::string why = keptFromCpuAsItWoke(chip);
        if (chip.received[stageClear].empty() && !bridgeWait.empty()) why = bridgeWait;
        if (build == Build::windows && result.out.empty() && result.err.empty() &&
            !result.timedOut)
            why = "Wine ended with status " + std::to_string(result.status) + ", and nothing said";
        if (!runAgain(attempt, why) || !fedAfresh(arguments)) return result;
    }
}

std::string srecImage(const std::string &ranges, const char *recordSize, const char *lineEnd) {
    std::string path = scratchFile("");
    shell("srec_cat -generate " + ranges + " -random -o " + path + " -Intel -Output_Block_Size " +
          recordSize + " -line-termination " + lineEnd);
    return path;
}

std::string shell(const std::string &command) {
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return output;
}

bool sameAttributes(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

std::string dataRecord(unsigned address, const std::vector<unsigned char> &data) {
    return hexRecord(address, 0, std::string(data.begin(), data.end()));
}

void expectDialog(const ChipSession &session) {
    EXPECT_EQ(session.received[stageWake], "\r\n\r\n");
    EXPECT_EQ(session.received[stageClear], "K\r\n");
    EXPECT_EQ(session.received[stageLoadCommand], "LB\r\n");
    EXPECT_EQ(session.received[stageOther], "");
    EXPECT_TRUE(session.protocolErrors.empty());
}

void expectChipHolds(const ChipSession &session, const std::string &hexPath) {
    EXPECT_TRUE(session.received[stageRecords] == readWholeFile(hexPath)) << hexPath;
    EXPECT_TRUE(session.rejected.empty() && session.protocolErrors.empty());
    std::string image = binaryImage(session.memory);
    ASSERT_FALSE(image.empty()) << hexPath;
    shell(SOURCE_DIR "/scripts/check-image " + hexPath + " " + scratchFile(image, ".bin"));
}

void expectEnding(const HostRun &run, int status, const std::string &out, const std::string &err) {
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
}



std::string startTool(const std::vector<std::string> &options, HostRun &tool) {
    tool = startHost(SIM_BINARY, options, "");
    std::string out;
    for (int wait = 0; wait < 1000 && out.find('\n') == std::string::npos; ++wait) {
        usleep(10000);
        out = readWholeFile(tool.outPath);
    }
    return out.substr(0, out.find('\n'));
}

std::string loadThroughTool(const std::vector<std::string> &options, const std::string &hexPath, HostRun &tool,
                            bool leaveRunning) {
    for (int attempt = 1;; ++attempt) {
        std::map<std::string, double> workersBefore = kernelWorkerWaits();
        StallWatch stalls;
        std::string port = startTool(options, tool);
        HostRun host = startHost(HEXPUSH_BINARY, {"PORT", hexPath, "115200"}, port);
        finishHosts({&host}, 30);
        if (leaveRunning && host.status == 0) return port;
        finishHosts({&tool}, 10);
        double workersWaited = kernelWorkerWaitMicrosSince(workersBefore) + stalls.lostMicros();
        std::string why = tool.out.find("\nkept from the CPU") != std::string::npos ? tool.out : "";
        if (workersWaited >= lateForCpuMicros)
            why = "the kernel's workers waited for a CPU, or the machine stalled, " +
                  std::to_string(std::lround(workersWaited / 1000)) + " ms";
        bool atTheWakeUp = host.status != 0 && tool.out.find("\nload: 0 lines") != std::string::npos;
        if (!runAgain(attempt, atTheWakeUp ? why : "")) return port;
    }
}
