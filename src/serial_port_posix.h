// The port's descriptor, for the other POSIX units that act on it.
#pragma once

// -1 until the port is open.
extern int comPortHandle;
