// Helpers for running the built hexpush against the virtual chip.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "image_file.h"
#include "load_runner.h"
#include "scratch_files.h"
#include "screen.h"

// Which hexpush runs: the native build, the Windows build under Wine, the
// arm64 build under qemu-user, or the web page in headless Chromium.
enum class Build { native, windows, arm64, browser };
inline void PrintTo(Build build, std::ostream *out) {
    const char *names[] = {"native", "Windows under Wine", "arm64 under qemu-user",
                           "the web page in Chromium"};
    *out << names[static_cast<int>(build)];
}

struct RunResult : HostRun {
    ChipSession session;
    termios before{};  // the port's attributes before the run
    termios after{};   // and after it
};

// Runs hexpush on a fresh virtual chip; "PORT" stands for the chip's port.
RunResult runHexpush(const std::vector<std::string> &arguments, const ChipOptions &options,
                     double deadlineSeconds = 30, const HostSetup &setup = {},
                     Build build = Build::native,
                     const std::function<bool(const RunResult &)> &endedAsExpected = {});

// The program of a build.
const char *programOf(Build build);

// Whether the suite runs in CI (CI set, as CI services set it).
bool inCi();
// Skips the case with the reason; in CI, where a tier that cannot run must
// not look like one that passed, fails it instead, naming what is missing.
#define SKIP_BECAUSE(why)                                                               \
    do {                                                                                \
        if (inCi()) FAIL() << "CI runs every case, and this one cannot run: " << (why); \
        GTEST_SKIP() << "skipped: " << (why);                                           \
    } while (0)

// Where a row of an end-to-end table runs: a set of builds. A row whose
// outcome rests on a platform's own code (the port, its speeds and timeouts,
// replies in pieces, hang-ups, input read once, the console, exit statuses)
// runs on every build that can put the case; a row of shared logic, on the
// native build alone, and in the page too where the page shows what it
// says; a row of names that only Windows tells apart from bytes, on Windows.
// The page cannot put what a command line alone can (a missing or special
// file, an odd rate, too few arguments), nor change a file it has taken.
enum Where : unsigned {
    nativeOnly = 1,
    windowsOnly = 2,
    onArm64 = 4,
    inBrowser = 8,
    notInBrowser = nativeOnly | windowsOnly | onArm64,
    everywhere = notInBrowser | inBrowser,
};

// Tables of cases that builds must pass; a build that cannot run here is
// skipped (in CI, failed), with the reason. EVERY_BUILD(Suite) declares such
// a suite and runs it on each build.
class AnyBuild : public ::testing::TestWithParam<Build> {
  protected:
    void SetUp() override;
    bool runsHere(unsigned where) const { return where & 1u << static_cast<int>(GetParam()); }
    bool windows() const { return GetParam() == Build::windows; }
    // A file as messages name it: a page knows only the file's own name.
    std::string fileNamed(const std::string &path) const {
        return GetParam() == Build::browser ? path.substr(path.rfind('/') + 1) : path;
    }
    const char *program() const { return programOf(GetParam()); }
    RunResult run(const std::vector<std::string> &arguments, const ChipOptions &options,
                  double deadlineSeconds = 30) {
        return runHexpush(arguments, options, deadlineSeconds, {}, GetParam());
    }
};
std::string buildName(Build build);  // "Native", "Windows", "Arm64" or "Browser"
#define EVERY_BUILD(suite)                                                                    \
    class suite : public AnyBuild {};                                                         \
    INSTANTIATE_TEST_SUITE_P(, suite,                                                         \
                             ::testing::Values(Build::native, Build::windows, Build::arm64,   \
                                               Build::browser),                               \
                             [](const auto &build) { return buildName(build.param); })

// Whether a load is made again: one that ended for a reason that says
// nothing of the program under test (why; empty if none), up to ten times.
bool runAgain(int attempt, const std::string &why);
// Why a session that never reached the clear says nothing of hexpush: the
// chip was kept from the CPU as it woke, past hexpush's patience for the
// banner, which no loader would be. Empty if it was not.
std::string keptFromCpuAsItWoke(const ChipSession &session);

// Why the build cannot be run here; empty when it can.
std::string buildProblem(Build build);

// A chip that answers at once: for tests where timing is not the point, so
// that a busy machine cannot make it late.
ChipOptions promptChip();

// A scratch file of random data made by srec_cat: its address ranges, bytes a
// record and line ends.
std::string srecImage(const std::string &ranges, const char *recordSize, const char *lineEnd);
// Standard output of a shell command that must succeed.
std::string shell(const std::string &command);
bool sameAttributes(const termios &a, const termios &b);
// A well-formed Intel HEX data record, with its line feed.
std::string dataRecord(unsigned address, const std::vector<unsigned char> &data);
// The chip was woken, cleared and put in load mode, each exactly once.
void expectDialog(const ChipSession &session);
// The chip received the file byte for byte, took every line, and holds
// exactly what srec_cat makes of the file.
void expectChipHolds(const ChipSession &session, const std::string &hexPath);
void expectEnding(const HostRun &run, int status, const std::string &out, const std::string &err);

// Starts hexpush-sim with the options; returns the port it prints on its
// first line.
std::string startTool(const std::vector<std::string> &options, HostRun &tool);

// Loads the file through hexpush-sim, started with the options, at 115200
// baud, and waits for the tool to end, or with leaveRunning leaves it
// running after a clean load. A busy machine may keep the tool from the CPU
// past hexpush's patience for the banner, which no loader would be: the tool
// then says so, and the load is made again. Returns the tool's port.
std::string loadThroughTool(const std::vector<std::string> &options, const std::string &hexPath, HostRun &tool,
                            bool leaveRunning = false);

// Lets the user of unprivileged runs open the port, when the tests run as root.
void letNobodyUse(const std::string &port);
extern const HostSetup unprivileged;

extern const char endRecord[];
extern const char loadStartLines[];
extern const char fourProgressLines[];
extern const char noLoaderLines[];
