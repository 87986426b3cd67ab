// A pseudo-terminal pair standing in for a serial port.
#pragma once

#include <string>

// Opens a new pseudo-terminal and returns its master side, or -1. The slave
// side is left as the system makes it, as a freshly plugged port would be.
int openVirtualPort(std::string &slavePath);

// Opens the slave side of the master, so that the master does not report a
// hang-up while no host has the port open; -1 if it cannot.
int openSlaveOf(int masterFd);
