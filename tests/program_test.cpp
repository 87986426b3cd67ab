// The virtual chip running programs: sdcc builds that must send what they
// send under s51, the crystal's time kept by its timers and serial port,
// and hexpush-sim's run mode as CI and users drive it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "clock.h"
#include "harness.h"

namespace {

const std::string programs = SOURCE_DIR "/tests/programs/";

std::string toolProblem(const char *tool, const char *package) {
    std::string command = std::string("command -v ") + tool + " >/dev/null";
    return system(command.c_str()) == 0 ? "" : std::string(tool) + " is not installed (" + package + ")";
}

// A program of tests/programs built with sdcc (with these options), once a
// run of the suite.
std::string built(const std::string &name, const std::string &options = "") {
    static std::map<std::string, std::string> made;
    std::string &hex = made[name + options];
    if (hex.empty()) {
        std::string folder = shell("mktemp -d");
        folder.pop_back();
        shell("sdcc -mmcs51 --code-size 16384 " + options + " -o " + folder + "/ " + programs + name +
              ".c >/dev/null 2>&1 && packihx " + folder + "/" + name + ".ihx >" + folder + "/" + name +
              ".hex 2>/dev/null");
        hex = folder + "/" + name + ".hex";
    }
    return hex;
}

std::string quotedForShell(const std::string &text) {
    return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

struct ToolRun {
    int status;
    std::string out, err;
};

// hexpush-sim with standard input from a file, not a terminal.
ToolRun runTool(const std::vector<std::string> &arguments, const std::string &input = "") {
    std::string in = scratchFile(input, ".in"), out = scratchFile("", ".out"), err = scratchFile("", ".err");
    std::string command = SIM_BINARY;
    for (const std::string &argument : arguments) command += " " + quotedForShell(argument);
    int status = system((command + " <" + in + " >" + out + " 2>" + err).c_str());
    return {WEXITSTATUS(status), readWholeFile(out), readWholeFile(err)};
}

// The run ended with that status, its account saying that.
void expectRun(const ToolRun &run, int status, const std::string &said) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_NE(run.err.find(said), std::string::npos) << said << " not in " << run.err;
}

// The chip time a run's account gives.
double chipSeconds(const ToolRun &run) {
    std::smatch time;
    return std::regex_search(run.err, time, std::regex("run: ([0-9.]+) s of chip time")) ? std::stod(time[1]) : -1;
}

#define NEED(tool, package)                                                  \
    if (!toolProblem(tool, package).empty()) SKIP_BECAUSE(toolProblem(tool, package))

TEST(Programs, SdccBuildsSendWhatTheySendUnderS51) {
    NEED("sdcc", "sdcc");
    NEED("s51", "sdcc-ucsim");
    const std::string input = "hello world\nabc\n.\n";
    for (const char *name : {"arithmetic", "calls", "priorities", "serial_echo", "movx"}) {
        std::string hex = built(name), in = scratchFile(input, ".in"), out = scratchFile("", ".out");
        shell("printf 'run\\nquit\\n' | s51 -t 8052 -b -I 'if=xram[0xffff]' -S in=" + in + ",out=" + out + " " +
              hex + " >/dev/null 2>&1");
        ToolRun ours = runTool({"--run", hex}, input);
        std::string theirs = readWholeFile(out);
        EXPECT_FALSE(theirs.empty()) << name << ": s51 sent nothing";
        EXPECT_TRUE(ours.out == theirs) << name << ": s51 sent\n" << theirs << "\nand the chip\n" << ours.out;
        EXPECT_NE(ours.err.find("the reserved opcode 0xA5\n"), std::string::npos) << name << ": " << ours.err;
    }
}

// Chip time, whatever the machine's load: the account's, not the clock's.
TEST(ChipTime, TimersAndTheSerialPortTakeTheCrystalsTime) {
    NEED("sdcc", "sdcc");
    ToolRun ticks = runTool({"--run", built("ticks"), "--timeout", "100"});
    EXPECT_EQ(ticks.status, 42);
    std::smatch changes;
    ASSERT_TRUE(std::regex_search(ticks.err, changes, std::regex("P1.0 changed ([0-9]+) times"))) << ticks.err;
    EXPECT_TRUE(std::stoi(changes[1]) == 99 || std::stoi(changes[1]) == 100) << "not once a millisecond: " << ticks.err;

    // 77 frames at 9600 baud need 80.2 ms: they pass in 100, not in 50.
    std::string sender = built("sender");
    ToolRun sent = runTool({"--run", sender, "--expect-text", "U!", "--timeout", "100"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, std::string(76, 'U') + "!");
    EXPECT_NEAR(chipSeconds(sent) / 77, 10 / 9600.0, 0.000002) << sent.err;
    EXPECT_NE(sent.err.find("serial: 9600 baud: timer 1, TH1=0xFD, SMOD=0, 11.0592 MHz (77 bytes sent"),
              std::string::npos)
        << sent.err;
    ToolRun late = runTool({"--run", sender, "--expect-text", "U!", "--timeout", "50"});
    EXPECT_EQ(late.status, 42) << late.err;
    EXPECT_EQ(late.out, std::string(47, 'U')) << "not the bytes sent in 50 ms";
    // Twice the speed: SMOD set, or a crystal twice as fast.
    ToolRun doubled = runTool({"--run", built("sender", "-DDOUBLE"), "--expect-text", "!"});
    EXPECT_NEAR(chipSeconds(doubled) / 77, 10 / 19200.0, 0.000002) << doubled.err;
    EXPECT_NE(doubled.err.find("serial: 19200 baud: timer 1, TH1=0xFD, SMOD=1, 11.0592 MHz"), std::string::npos);
    ToolRun fast = runTool({"--run", sender, "--expect-text", "!", "--crystal", "22118400"});
    EXPECT_NEAR(chipSeconds(fast) / 77, 10 / 19200.0, 0.000002) << fast.err;
}

// What CI reads off a run: the text it waits for (0), the one that fails
// it (1), the time limit (42); a file that would not load, in the
// loader's words; where the chip stopped; the parts it does not simulate.
TEST(RunMode, EndsAsTheTextsTheLimitAndTheChipSay) {
    std::string blink = EXAMPLES_DIR "/blink.hex";
    ToolRun hello = runTool({"--run", blink, "--expect-text", "hello", "--fail-text", "DS89C420"});
    expectRun(hello, 0, "ended: \"hello\" sent\n");
    EXPECT_EQ(hello.out, "hello");
    expectRun(runTool({"--run", blink, "--expect-text", "bye", "--fail-text", "DS89C420"}), 1,
              "ended: failed, \"DS89C420\" sent\n");
    ToolRun waiting = runTool({"--run", blink, "--expect-text", "bye", "--timeout", "1000"});
    EXPECT_EQ(waiting.status, 42);
    EXPECT_NE(waiting.out.find("hello from the DS89C420\r\nhello"), std::string::npos);
    EXPECT_TRUE(std::regex_search(waiting.err, std::regex("^run: 1.000000 s of chip time at 11.0592 MHz, [0-9]+ instructions\n"
                                                          "serial: 9600 baud: .*\npins: P1.0 changed [0-9]+ times\n"
                                                          "ended: timeout after 1000 ms of chip time\n$")))
        << waiting.err;
    expectRun(runTool({"--run", scratchFile(dataRecord(0, {1}) + ":0100000001FF\n" + endRecord)}), 1,
              "line 2 rejected with C: checksum mismatch\n");
    expectRun(runTool({"--run", "/nonexistent/blink.hex"}), 1, "/nonexistent/blink.hex: No such file or directory\n");
    // MOV SCON1,#1; MOV SCON1,#2; MOV A,SBUF1; then the reserved opcode.
    expectRun(runTool({"--run", scratchFile(dataRecord(0, {0x75, 0xC0, 1, 0x75, 0xC0, 2, 0xE5, 0xC1, 0xA5}) + endRecord)}), 1,
              "\n0xC0 SCON1: the second serial port is not simulated\n0xC1 SBUF1: the second serial port is not "
              "simulated\nended: stopped at 0x0008: the reserved opcode 0xA5\n");
    // Erased memory (MOV R7,A throughout) up to its end.
    expectRun(runTool({"--run", scratchFile(endRecord)}), 1,
              "ended: stopped at 0x4000: the program ran off the end of its 16384-byte memory\n");
}

// Reads what the port brings, at a speed, until the text has come or the
// seconds are up.
std::string readPort(const std::string &port, speed_t speed, const std::string &until, double seconds) {
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, speed);
    tcsetattr(fd, TCSANOW, &settings);
    std::string got;
    for (double start = secondsNow(); secondsNow() - start < seconds && got.find(until) == std::string::npos;) {
        char chunk[256];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count > 0) got.append(chunk, count);
        else usleep(10000);
    }
    close(fd);
    return got;
}

// After a clean load the program runs on the same port, at the crystal's
// pace: a terminal at its speed shows what it sends; at another speed
// nothing crosses, and the chip says why. The run's limits apply.
TEST(RunMode, AfterACleanLoadTheProgramRunsOnThePort) {
    for (const char *expected : {"", "hello"}) {
        std::vector<std::string> options{"--once", "--run-after-load", "--timeout", "3000"};
        if (*expected) options.insert(options.end(), {"--expect-text", expected});
        HostRun tool;
        std::string port = loadThroughTool(options, EXAMPLES_DIR "/blink.hex", tool, true);
        ASSERT_EQ(tool.status, -1) << "the load failed: " << tool.out;
        if (*expected) {
            finishHosts({&tool}, 10);
            expectRun({tool.status, tool.out, tool.err}, 0, "ended: \"hello\" sent\n");
            continue;
        }
        std::string greeting = "hello from the DS89C420\r\n";
        EXPECT_NE(readPort(port, B9600, greeting, 2.5).find(greeting), std::string::npos);
        EXPECT_EQ(readPort(port, B115200, greeting, 0.3), "");
        finishHosts({&tool}, 30);
        expectRun({tool.status, tool.out, tool.err}, 42,
                  "the program's serial port is at 9600 baud, its port at 115200: nothing crosses");
    }
}

}  // namespace
