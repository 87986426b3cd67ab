// hexpush-vm: runs one command line in the guest of vm/build-image, with FTDI
// adapters and 16550 UARTs wired to host ports, prints what it printed, and
// ends with its exit status.
//   hexpush-vm IMAGE_DIR [--adapter PORT]... [--uart PORT]... COMMAND
#include <cstdio>
#include <cstring>
#include <string>

#include "guest_vm.h"

int main(int argc, char *argv[]) {
    GuestWiring wiring;
    int i = 2;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (!strcmp(argv[i], "--adapter"))
            wiring.adapters.push_back(argv[i + 1]);
        else if (!strcmp(argv[i], "--uart"))
            wiring.uarts.push_back(argv[i + 1]);
        else
            break;
    }
    if (argc < 3 || i != argc - 1) {
        fprintf(stderr,
                "usage: hexpush-vm IMAGE_DIR [--adapter PORT]... [--uart PORT]... COMMAND\n");
        return 2;
    }
    std::string problem;
    GuestVm vm;
    if (!canRunGuest(problem) || !startGuest(vm, argv[1], wiring, problem)) {
        fprintf(stderr, "hexpush-vm: %s\n", problem.c_str());
        return 1;
    }
    fprintf(stderr, "hexpush-vm: guest up in %.1f s\n", vm.bootSeconds);
    for (const auto &[serial, device] : vm.ports)
        fprintf(stderr, "hexpush-vm: adapter %s is %s\n", serial.c_str(), device.c_str());
    int status = 0;
    fputs(runCommand(vm, argv[argc - 1], status, 3600).c_str(), stdout);
    stopGuest(vm);
    return status;
}
