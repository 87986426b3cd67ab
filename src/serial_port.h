// The serial port as each system offers it, one implementation a system
// (serial_port_posix.cpp, serial_port_windows.cpp). The rest of the program
// reaches the port only through these calls.
#pragma once

// The loader's rates and the system's code for each; nothing else knows
// the codes.
struct SpeedEntry {
    int baudRate;
    unsigned long speedCode;
};
extern const SpeedEntry speedTable[];
extern const int speedTableSize;

// The pause after an attempt that moved nothing: as short as the system's
// waits reliably go.
extern const long portPauseMicros;

enum PortTrouble {
    portUnusable,              // reason says why
    portDenied,                // the user may not open it; reason says so
    portInUse,                 // another program holds it
    portInUseOrLeftExclusive,  // refused as in use; a killed run may have left it so
};

struct PortFailure {
    PortTrouble trouble;
    char reason[256];
};

// Opens the port, takes it for this run alone, saves its settings and makes
// it a raw 8N1 line at the speed, without flow control, discarding input
// that came before. False, with the failure, if the port cannot be used.
bool openSerialPort(const char *path, unsigned long speedCode, PortFailure &failure);

// Puts the saved settings back and closes the port.
void closeSerialPort();

// Moves what the port holds (or takes) now, up to count bytes. If that is
// nothing, waits up to waitMicros (-1: without limit) for the port to be
// ready and returns 0, or what moved in that wait. A port that has gone away
// ends the run.
int readPort(unsigned char *space, int count, long waitMicros);
int writePort(const unsigned char *bytes, int count, long waitMicros);

// Waits until every byte written has left the port, then micros more.
void drainThenWait(long micros);

// Reports a port that has gone away (unplugged, hung up) and ends the run
// with status 1.
[[noreturn]] void stopOnLostPort(const char *reason);
