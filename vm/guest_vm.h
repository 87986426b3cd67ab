// A Linux guest under QEMU, booted from the image of vm/build-image, with
// FTDI USB serial adapters (driven by the kernel's ftdi_sio) and 16550 UARTs
// (driven by its 8250 driver), each wired to a pseudo-terminal of the host,
// and a shell on its console that runs the host's command lines.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct GuestVm {
    pid_t pid = -1;
    int console = -1;  // the guest's console: commands in, output out
    std::string qmpSocket;
    std::string pending;                       // console output not yet taken
    std::map<std::string, std::string> ports;  // adapter serial number -> guest device
    double bootSeconds = 0;
    bool gone = false;  // its console ended (and how was told)
};

struct GuestWiring {
    std::vector<std::string> adapters;  // host ports; adapter N is "adapterN", serial "HPN"
    std::vector<std::string> uarts;     // host ports; UART N is the guest's ttyS(N+1)
};

// Whether this machine can run the guest at all; if not, says why.
bool canRunGuest(std::string &why);

// Boots the guest and waits for its shell. False (with the reason) if it
// does not come up within the deadline.
bool startGuest(GuestVm &vm, const std::string &imageDir, const GuestWiring &wiring,
                std::string &problem, double deadlineSeconds = 120);

// Sends one command line to the guest's shell.
void sendCommand(GuestVm &vm, const std::string &command);

// Waits for the command sent last to end. Returns its output, and its exit
// status in status (-1 if the deadline passed first).
std::string awaitCommand(GuestVm &vm, int &status, double deadlineSeconds);

// Both of the above.
std::string runCommand(GuestVm &vm, const std::string &command, int &status,
                       double deadlineSeconds = 60);

// What a job of the guest's commands (vm/guest-commands.sh) left behind.
struct GuestJob {
    int status = -1;
    std::string before, after;  // the port's settings, as stty -g says them
    std::string out, err;
};

// Asks the guest for a job's report; false if it did not give one.
bool reportJob(GuestVm &vm, const std::string &job, GuestJob &report);

// Pulls adapter N out of the guest, as unplugging its cable would.
bool unplugAdapter(GuestVm &vm, int adapter, std::string &problem);

// Powers the guest off (or kills it) and waits for QEMU to end.
void stopGuest(GuestVm &vm);
