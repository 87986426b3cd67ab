// Taking the port for one run alone, and handing back what the run changed
// outside the port's attributes, however the run ends.
#pragma once

// Takes the open port: an advisory lock that other serial tools honour too,
// and the terminal's exclusive mode where the platform has it. Returns false
// with errno set to EBUSY when another program holds the port.
bool claimPort(int portHandle);

// USB adapters may hold received bytes for up to 16 ms; with one verdict byte
// a line, that wait would dominate the load. Asks the driver to pass bytes on
// at once, where it can.
void askForLowLatency();

// Puts the driver's latency back and gives up the exclusive mode. Uses only
// calls that are safe in a signal handler; runs at exit and on every signal
// that would end the process.
void releasePort();
