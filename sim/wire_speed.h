// The speed the host set on a port, however it set it.
#pragma once

// Bits per second of the pseudo-terminal behind masterFd; 0 if unknown.
int wireBaud(int masterFd);

// The same from the standard speed codes alone, which cannot tell a speed
// set as a number (BOTHER); for where the kernel's own call fails.
int standardWireBaud(int masterFd);
