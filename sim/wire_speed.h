// The speed the host set on a port, however it set it.
#pragma once

// Bits per second of the pseudo-terminal behind masterFd; 0 if unknown.
int wireBaud(int masterFd);

// Sets the speed of the port behind hostFd as newer programs do (BOTHER,
// the speed as a number), for tests of the above.
bool setWireBaudAsNumber(int hostFd, int baud);
