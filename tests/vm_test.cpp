// Real serial drivers: hexpush in a Linux guest, on the kernel's own FTDI
// adapter driver (ftdi_sio) and 16550 UART driver (8250), against virtual
// chips on the host. One boot serves every scenario; each load is checked in
// the guest (output, status, stty before and after) and at the chip (bytes by
// stage, speed, memory image).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>

#include "guest_vm.h"
#include "harness.h"

namespace {

// Adapters HP0-HP9 are the guest's FTDI ports; UARTs are its ttyS1 and ttyS2.
const int adapterCount = 10;
const int loadsAdapter = 0, unplugAdapter_ = 1, sharedAdapter = 2, userAdapter = 3,
          slowAdapter = 9;
const int gangAdapters[] = {0, 2, 3, 4, 5, 6, 7, 8};
const char slowUart[] = "/dev/ttyS1";
const char fastUart[] = "/dev/ttyS2";

struct Tier {
    bool runnable = false;
    std::string problem;  // why the tier cannot run, or failed to start
    GuestVm vm;
    std::vector<std::unique_ptr<ChipOnPort>> adapters;
    std::vector<std::unique_ptr<ChipOnPort>> uarts;
    std::map<std::string, std::string> files;  // name in the guest's /data -> host path
    std::string idleLatency;  // the FTDI driver's latency before any run
};
Tier *tier = nullptr;

struct GuestRun {
    int status = -1;
    std::string before, after, out, err;  // stty -g before and after; the outputs
};

ChipOptions chipOptions() {
    ChipOptions options;
    options.flashSize = 65536;
    options.eraseMicros = 20000;
    return options;
}

std::string decodeBase64(const std::string &text) {
    const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0, value = 0;
    for (char c : text) {
        size_t digit = digits.find(c);
        if (digit == std::string::npos) continue;
        value = value << 6 | static_cast<unsigned>(digit);
        if ((bits += 6) >= 8) bytes += static_cast<char>(value >> (bits -= 8) & 0xFF);
    }
    return bytes;
}

std::string guest(const std::string &command, int expectedStatus = 0, double deadline = 60) {
    int status = -1;
    std::string output = runCommand(tier->vm, command, status, deadline);
    EXPECT_EQ(status, expectedStatus) << command << "\n" << output;
    return output;
}

GuestRun report(const std::string &job) {
    std::map<std::string, std::string> parts;
    std::stringstream lines(guest("report " + job));
    for (std::string line; std::getline(lines, line);) {
        size_t space = line.find(' ');
        std::string name = line.substr(0, space), prefix = "@@" + job + ".";
        if (name.rfind(prefix, 0) == 0 && space != std::string::npos)
            parts[name.substr(prefix.size())] = decodeBase64(line.substr(space + 1));
    }
    return {atoi(parts["status"].c_str()), parts["before"], parts["after"], parts["out"],
            parts["err"]};
}

std::string port(int adapter) { return tier->vm.ports["HP" + std::to_string(adapter)]; }
std::string data(const std::string &name) { return "/data/" + name; }

// Presses the chip's reset button, for a fresh loader, and returns what the
// chip saw since the last press.
ChipSession resetChip(ChipOnPort &chip, const ChipOptions &options = chipOptions()) {
    return chip.reset(options);
}

void expectGuestLoaded(const GuestRun &run) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fourProgressLines);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.before, run.after) << "the port's settings were not put back";
}

void expectChipLoaded(const ChipSession &session, const std::string &file, int baud) {
    EXPECT_EQ(session.baud, baud);
    EXPECT_EQ(session.received[stageWake], "\r\n\r\n");
    EXPECT_EQ(session.received[stageClear], "K\r\n");
    EXPECT_EQ(session.received[stageLoadCommand], "LB\r\n");
    expectChipHolds(session, tier->files[file]);
}

// A complete load of a file at a speed, by a user, on a port and its chip.
void expectLoad(ChipOnPort &chip, const std::string &port, const std::string &file, int baud,
                const std::string &user = "root") {
    resetChip(chip);
    guest("load one " + user + " " + port + " " + data(file) + " " + std::to_string(baud));
    expectGuestLoaded(report("one"));
    expectChipLoaded(resetChip(chip), file, baud);
}

std::string makeImage(const std::string &name, const std::string &ranges, int recordBytes) {
    std::string path = scratchFile("", ".hex");
    shell("srec_cat " + ranges + " -random -o " + path + " -Intel -Output_Block_Size " +
          std::to_string(recordBytes));
    tier->files[name] = path;
    return path;
}

bool buildImage(const std::string &imageDir) {
    tier->files["blink.hex"] = EXAMPLES_DIR "/blink.hex";
    makeImage("big.hex", "-generate 0 0x8000", 32);
    makeImage("small.hex", "-generate 0 0x2000", 16);
    std::string command = std::string(VM_DIR "/build-image ") + imageDir + " --programs " +
                          GUEST_HEXPUSH + " " + GUEST_SERIAL_INFO + " --data";
    for (const auto &[name, path] : tier->files) {
        std::string copy = imageDir + "-data/" + name;
        shell("mkdir -p " + imageDir + "-data && cp " + path + " " + copy);
        command += " " + copy;
    }
    return system(command.c_str()) == 0;
}

class RealDrivers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tier = new Tier;
        tier->runnable = canRunGuest(tier->problem);
        if (!tier->runnable) return;
        std::string imageDir = scratchFile("", ".vm");
        unlink(imageDir.c_str());
        if (!buildImage(imageDir)) {
            tier->problem = "vm/build-image failed";
            return;
        }
        GuestWiring wiring;
        for (int i = 0; i < adapterCount; ++i) {
            tier->adapters.push_back(std::make_unique<ChipOnPort>(chipOptions()));
            wiring.adapters.push_back(tier->adapters.back()->port);
        }
        for (int i = 0; i < 2; ++i) {
            tier->uarts.push_back(std::make_unique<ChipOnPort>(chipOptions()));
            wiring.uarts.push_back(tier->uarts.back()->port);
        }
        if (!startGuest(tier->vm, imageDir, wiring, tier->problem)) return;
        printf("guest up in %.1f s\n", tier->vm.bootSeconds);
        tier->idleLatency = guest("latency " + port(loadsAdapter));
        // The slow loads run beside every other scenario; the last one checks
        // them. The UARTs start with the receiver off and modem lines heeded.
        guest("stty -F " + std::string(slowUart) + " -cread -clocal; stty -F " + fastUart +
              " -cread -clocal");
        guest("start slowUart root " + std::string(slowUart) + " /data/big.hex 9600");
        guest("start fastUart root " + std::string(fastUart) + " /data/big.hex 115200");
        guest("start slowFtdi root " + port(slowAdapter) + " /data/big.hex 9600");
    }
    static void TearDownTestSuite() {
        if (tier->vm.pid > 0) stopGuest(tier->vm);
        delete tier;
    }
    void SetUp() override {
        if (!tier->runnable) GTEST_SKIP() << "no real-driver tier: " << tier->problem;
        ASSERT_TRUE(tier->problem.empty()) << tier->problem;
        ASSERT_EQ(tier->vm.ports.size(), size_t(adapterCount)) << "adapters missing in the guest";
    }
};

TEST_F(RealDrivers, FtdiLoadsWithLowLatencyOnlyWhileTheRunLasts) {
    ChipOnPort &chip = *tier->adapters[loadsAdapter];
    std::string ftdi = port(loadsAdapter);
    const std::string &before = tier->idleLatency;
    EXPECT_NE(before.find("low_latency 0"), std::string::npos) << before;
    expectLoad(chip, ftdi, "blink.hex", 2400);
    EXPECT_EQ(guest("latency " + ftdi), before) << "low latency left behind";

    guest("start big root " + ftdi + " /data/big.hex 115200; claimed " + ftdi);
    std::string during = guest("latency " + ftdi);
    guest("finish big");
    EXPECT_EQ(during, "@@latency 1 low_latency 1\n") << "not in low-latency mode during a load";
    EXPECT_EQ(guest("latency " + ftdi), before) << "low latency left behind";
    expectGuestLoaded(report("big"));
    expectChipLoaded(resetChip(chip), "big.hex", 115200);
}

TEST_F(RealDrivers, FailedAndInterruptedRunsGiveTheLatencyBack) {
    ChipOnPort &chip = *tier->adapters[loadsAdapter];
    std::string ftdi = port(loadsAdapter);
    const std::string &before = tier->idleLatency;
    ChipOptions rejecting = chipOptions();
    rejecting.faults.rejectLine = 5;
    resetChip(chip, rejecting);
    guest("load rejected root " + ftdi + " /data/blink.hex 115200", 1);
    GuestRun rejected = report("rejected");
    EXPECT_EQ(rejected.status, 1);
    EXPECT_EQ(rejected.out, std::string(loadStartLines) + "H\nLoad failed\n\n");
    EXPECT_EQ(guest("latency " + ftdi), before) << "after a rejected line";

    resetChip(chip);
    guest("interrupt stopped root 2 " + ftdi + " /data/big.hex 115200", 130);
    EXPECT_EQ(guest("latency " + ftdi), before) << "after an interrupt";
    EXPECT_GT(resetChip(chip).lines, 10) << "not interrupted in the middle of the load";
}

TEST_F(RealDrivers, UnpluggedAdapterEndsTheRunWithinASecond) {
    std::string ftdi = port(unplugAdapter_);
    resetChip(*tier->adapters[unplugAdapter_]);
    sendCommand(tier->vm, "load unplugged root " + ftdi + " /data/big.hex 115200");
    usleep(2500000);  // well into the load's 7 s
    std::string problem;
    auto pulled = std::chrono::steady_clock::now();
    ASSERT_TRUE(unplugAdapter(tier->vm, unplugAdapter_, problem)) << problem;
    int status = -1;
    awaitCommand(tier->vm, status, 30);
    EXPECT_EQ(status, 1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - pulled).count();
    EXPECT_LT(seconds, 1.0) << "hexpush went on after the adapter was gone";
    printf("hexpush ended %.2f s after the adapter was pulled\n", seconds);
    GuestRun run = report("unplugged");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, loadStartLines);
    EXPECT_EQ(run.err.rfind(ftdi + ": ", 0), 0u) << run.err;
    EXPECT_GT(resetChip(*tier->adapters[unplugAdapter_]).lines, 10) << "pulled too early";
}

TEST_F(RealDrivers, ExclusiveOnARealTtyForAnOrdinaryUser) {
    ChipOnPort &chip = *tier->adapters[sharedAdapter];
    std::string ftdi = port(sharedAdapter);
    resetChip(chip);
    guest("start first tester " + ftdi + " /data/big.hex 115200; claimed " + ftdi);
    guest("load second tester " + ftdi + " /data/blink.hex 115200", 1);
    std::string terminal = guest("as tester microcom -t 200 -s 115200 " + ftdi + " </dev/null", 1);
    guest("finish first");
    GuestRun second = report("second");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, ftdi + ": Port is in use by another program\n");
    EXPECT_NE(terminal.find("Device or resource busy"), std::string::npos) << terminal;
    expectGuestLoaded(report("first"));
    expectChipLoaded(resetChip(chip), "big.hex", 115200);

    EXPECT_EQ(guest("as tester microcom -t 200 -s 115200 " + ftdi + " </dev/null"), "")
        << "the port stayed closed to a terminal program";
    expectLoad(chip, ftdi, "blink.hex", 115200, "tester");
}

TEST_F(RealDrivers, NoAccessNamesTheGroupToJoin) {
    std::string ftdi = port(userAdapter);
    resetChip(*tier->adapters[userAdapter]);
    guest("load denied guest " + ftdi + " /data/blink.hex", 1);
    GuestRun run = report("denied");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Getting loader prompt...\nNo 420 Loader found\n");
    EXPECT_EQ(run.err, ftdi + ": Permission denied\n" + ftdi +
                           ": open to group dialout; join it with 'sudo usermod -aG dialout "
                           "$USER', then log in again\n");
    EXPECT_EQ(resetChip(*tier->adapters[userAdapter]).received[stageWake], "");
}

TEST_F(RealDrivers, InterruptedRunLeavesThePortToTheNextUser) {
    ChipOnPort &chip = *tier->adapters[userAdapter];
    std::string ftdi = port(userAdapter);
    resetChip(chip);
    guest("interrupt stopped tester 2 " + ftdi + " /data/big.hex 115200", 130);
    EXPECT_GT(resetChip(chip).lines, 10) << "not interrupted in the middle of the load";
    expectLoad(chip, ftdi, "blink.hex", 115200, "tester");
}

TEST_F(RealDrivers, EightAdaptersAtOnceAfterAnUnplug) {
    std::string jobs;
    for (int adapter : gangAdapters) {
        resetChip(*tier->adapters[adapter]);
        jobs += "start gang" + std::to_string(adapter) + " root " + port(adapter) +
                " /data/small.hex 115200; ";
    }
    guest(jobs);
    for (int adapter : gangAdapters) {
        SCOPED_TRACE(port(adapter));
        guest("finish gang" + std::to_string(adapter));
        expectGuestLoaded(report("gang" + std::to_string(adapter)));
        expectChipLoaded(resetChip(*tier->adapters[adapter]), "small.hex", 115200);
    }
}

// Started at boot; a 32 KiB image takes about 80 s at 9600.
TEST_F(RealDrivers, SlowAndFastLoadsThroughBothDrivers) {
    struct Slow {
        const char *job;
        ChipOnPort *chip;
        int baud;
    } loads[] = {{"fastUart", tier->uarts[1].get(), 115200},
                 {"slowUart", tier->uarts[0].get(), 9600},
                 {"slowFtdi", tier->adapters[slowAdapter].get(), 9600}};
    for (const Slow &load : loads) {
        SCOPED_TRACE(load.job);
        guest(std::string("finish ") + load.job, 0, 300);
        expectGuestLoaded(report(load.job));
        expectChipLoaded(resetChip(*load.chip), "big.hex", load.baud);
    }
}

}  // namespace
