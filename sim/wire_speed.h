// The speed the host set on a port, however it set it.
#pragma once

// Bits per second of the pseudo-terminal behind masterFd; 0 if unknown.
int wireBaud(int masterFd);
