// serial-info PORT: prints whether the port's driver is in low-latency mode,
// as TIOCGSERIAL reports it ("low_latency 1" or "low_latency 0").
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: serial-info PORT\n");
        return 2;
    }
    int port = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    serial_struct info;
    if (port < 0 || ioctl(port, TIOCGSERIAL, &info) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("low_latency %d\n", (info.flags & ASYNC_LOW_LATENCY) ? 1 : 0);
    return 0;
}
