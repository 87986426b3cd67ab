#include "port_claim.h"

// A browser opens a port for one page alone: that open was the claim.
PortClaim claimPort(intptr_t) { return portClaimed; }

// A page cannot ask an adapter's driver for its latency.
void askForLowLatency() {}

// The page gives the port up however the run ends.
void releasePort() {}
