// A pseudo-terminal pair standing in for a serial port.
#pragma once

#include <string>

// Opens a new pseudo-terminal and returns its master side, or -1. The slave
// side is left as the system makes it, as a freshly plugged port would be.
int openVirtualPort(std::string &slavePath);
