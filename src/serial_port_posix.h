// The port's descriptor, for the unit tests that act on it directly.
#pragma once

// -1 until the port is open.
extern int comPortHandle;
