// Real serial drivers: hexpush in a Linux guest, on the kernel's own FTDI
// adapter driver (ftdi_sio) and 16550 UART driver (8250), against virtual
// chips on the host. One boot serves every scenario; each load is checked in
// the guest (output, status, stty before and after) and at the chip (bytes by
// stage, speed, memory image).
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "clock.h"
#include "guest_vm.h"
#include "harness.h"

namespace {

// Adapters HP0-HP2 are the guest's FTDI ports; the UART its ttyS1.
const int adapterCount = 3;
const int loads = 0, pulled = 1, user = 2;

struct Tier {
    std::string problem;  // why the tier cannot run, or did not start
    bool runnable = false;
    GuestVm vm;
    std::vector<std::unique_ptr<ChipOnPort>> adapters, uarts;
    std::string imageDir;     // the guest's kernel and initramfs
    std::string dataDir;      // the files the guest has in /data
    std::string idleLatency;  // the FTDI driver's latency before any run
} *tier = nullptr;

ChipOptions chipOptions() {
    ChipOptions options;
    options.flashSize = 65536;
    options.eraseMicros = 20000;
    return options;
}

std::string guest(const std::string &command, int expectedStatus = 0, double deadline = 60) {
    int status = -1;
    std::string output = runCommand(tier->vm, command, status, deadline);
    EXPECT_EQ(status, expectedStatus) << command << "\n" << output;
    return output;
}

GuestJob report(const std::string &job) {
    GuestJob run;
    EXPECT_TRUE(reportJob(tier->vm, job, run)) << "no report of " << job;
    return run;
}

std::string port(int adapter) { return tier->vm.ports["HP" + std::to_string(adapter)]; }
ChipOnPort &chip(int adapter) { return *tier->adapters[adapter]; }

void expectGuestLoaded(const GuestJob &run) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fourProgressLines);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.before, run.after) << "the port's settings were not put back";
}

// Presses the chip's reset button and checks what it saw since the last.
void expectChipLoaded(ChipOnPort &chip, const std::string &file, int baud) {
    ChipSession session = chip.reset(chipOptions());
    EXPECT_EQ(session.baud, baud);
    expectDialog(session);
    expectChipHolds(session, tier->dataDir + "/" + file);
}

bool buildImage(const std::string &imageDir) {
    tier->imageDir = imageDir;
    tier->dataDir = imageDir + "-data";
    shell("mkdir -p " + tier->dataDir + " && cp " EXAMPLES_DIR "/blink.hex " + tier->dataDir +
          " && cp " + srecImage("0 0x8000", "32", "nl") + " " + tier->dataDir + "/big.hex");
    std::string build = std::string(VM_DIR "/build-image ") + imageDir + " --programs " +
                        GUEST_HEXPUSH + " " + GUEST_SERIAL_INFO + " --data " + tier->dataDir +
                        "/*.hex";
    return system(build.c_str()) == 0;
}

class RealDrivers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tier = new Tier;
        tier->runnable = canRunGuest(tier->problem);
        std::string imageDir = scratchFile("", ".vm");
        unlink(imageDir.c_str());
        if (!tier->runnable) return;
        if (!buildImage(imageDir)) tier->problem = "vm/build-image failed";
        GuestWiring wiring;
        for (int i = 0; i < adapterCount + 1; ++i) {
            auto &chips = i < adapterCount ? tier->adapters : tier->uarts;
            chips.push_back(std::make_unique<ChipOnPort>(chipOptions()));
            (i < adapterCount ? wiring.adapters : wiring.uarts).push_back(chips.back()->port);
        }
        if (!tier->problem.empty() || !startGuest(tier->vm, imageDir, wiring, tier->problem))
            return;
        printf("guest up in %.1f s\n", tier->vm.bootSeconds);
        tier->idleLatency = guest("latency " + port(loads));
        // The UART's load runs beside every other scenario, and the last one
        // checks it. The UART starts with the receiver off, modem lines heeded.
        guest("stty -F /dev/ttyS1 -cread -clocal");
        guest("start uart root /dev/ttyS1 /data/big.hex 115200");
    }
    static void TearDownTestSuite() {
        if (tier->vm.pid > 0) stopGuest(tier->vm);
        if (!tier->dataDir.empty()) shell("rm -rf " + tier->dataDir + " " + tier->imageDir);
        delete tier;
    }
    void SetUp() override {
        if (!tier->runnable) SKIP_BECAUSE("no real-driver tier: " + tier->problem);
        ASSERT_EQ(tier->vm.ports.size(), size_t(adapterCount)) << tier->problem;
    }
};

// During a load the port is a raw 8N1 line without flow control, in
// low-latency mode and closed to other programs; after it, none of that.
TEST_F(RealDrivers, FtdiLoadsRawWithLowLatencyAndAloneOnlyWhileTheRunLasts) {
    std::string ftdi = port(loads);
    std::string terminal = "as tester microcom -t 200 -s 115200 " + ftdi + " </dev/null";
    EXPECT_NE(tier->idleLatency.find("low_latency 0"), std::string::npos) << tier->idleLatency;
    guest("load one root " + ftdi + " /data/blink.hex 2400");
    expectGuestLoaded(report("one"));
    expectChipLoaded(chip(loads), "blink.hex", 2400);
    EXPECT_EQ(guest("latency " + ftdi), tier->idleLatency) << "low latency left behind";

    guest("start big tester " + ftdi + " /data/big.hex 115200; claimed " + ftdi);
    EXPECT_EQ(guest("latency " + ftdi), "@@latency 1 low_latency 1\n") << "during a load";
    std::string settings = guest("stty -a -F " + ftdi);
    for (const char *flag : {"cs8", "-parenb", "-cstopb", "-crtscts", "min = 1;", "-icanon"})
        EXPECT_TRUE(
            std::regex_search(settings, std::regex(std::string("(^|\\s)") + flag + "(\\s|$)")))
            << flag << " not in " << settings;
    EXPECT_NE(guest(terminal, 1).find("Device or resource busy"), std::string::npos);
    guest("finish big");
    EXPECT_EQ(guest("latency " + ftdi), tier->idleLatency) << "low latency left behind";
    expectGuestLoaded(report("big"));
    expectChipLoaded(chip(loads), "big.hex", 115200);
    EXPECT_EQ(guest(terminal), "") << "a terminal program cannot open the port after the load";
}

TEST_F(RealDrivers, UnpluggedAdapterEndsTheRunWithinASecond) {
    std::string ftdi = port(pulled), problem;
    sendCommand(tier->vm, "load unplugged root " + ftdi + " /data/big.hex 115200");
    usleep(2500000);  // well into the load's 7 s
    double start = secondsNow();
    EXPECT_TRUE(unplugAdapter(tier->vm, pulled, problem)) << problem;
    int status = -1;
    awaitCommand(tier->vm, status, 30);  // the guest takes no other command before
    double seconds = secondsNow() - start;
    printf("hexpush ended %.2f s after the adapter was pulled\n", seconds);
    EXPECT_LT(seconds, 1.0) << "hexpush went on after the adapter was gone";
    GuestJob run = report("unplugged");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, loadStartLines);
    EXPECT_EQ(run.err.rfind(ftdi + ": ", 0), 0u) << run.err;
    EXPECT_GT(chip(pulled).reset(chipOptions()).lines, 10) << "pulled too early";
}

// The hint only where joining the port's group is the remedy.
TEST_F(RealDrivers, NoAccessNamesTheGroupToJoin) {
    std::string ftdi = port(user), denied = ftdi + ": Permission denied\n";
    guest("load denied guest " + ftdi + " /data/blink.hex", 1);
    GuestJob run = report("denied");
    EXPECT_EQ(run.out, "Getting loader prompt...\nNo 420 Loader found\n");
    EXPECT_EQ(run.err, denied + ftdi +
                           ": open to group dialout; join it with 'sudo usermod -aG dialout "
                           "$USER', then log in again\n");
    guest("joins joined guest dialout " + ftdi + " /data/blink.hex", 1);
    EXPECT_EQ(report("joined").err,
              denied + ftdi + ": open to group dialout, which you have joined: log in again\n");
    guest("chmod 600 " + ftdi + "; load closed guest " + ftdi + " /data/blink.hex", 1);
    EXPECT_EQ(report("closed").err, denied) << "a hint where the group cannot help";
    EXPECT_EQ(chip(user).reset(chipOptions()).received[stageWake], "");
}

// Started at boot: 32 KiB take about 3 s at 115200.
TEST_F(RealDrivers, UartLoadsWithItsReceiverOffAndModemLinesHeededBefore) {
    guest("finish uart", 0, 300);
    expectGuestLoaded(report("uart"));
    expectChipLoaded(*tier->uarts[0], "big.hex", 115200);
}

}  // namespace
