// The one serial port of a run: speed table, set-up and restore, and the paced
// read and write primitives that every exchange with the chip goes through.
#pragma once

#include "serial_port.h"

// The rate itself, if the loader runs at it; prints "Baud rate not
// supported" and ends the process with status 1 for any other.
int getBaudValue(int baudRate);

// Opens the port, takes it for this run alone, and makes it a raw 8N1 line
// at the given rate. False, with the failure, if the port cannot be used.
bool setUpPort(const char *portPath, int baudRate, PortFailure &failure);

// Gives the port up, puts its saved settings back and closes it.
void restorePort();

// Ends the run naming the port, for a port that has gone away or takes
// nothing more.
[[noreturn]] void stopOnLostPort(const char *reason);
// "PORT: text" on standard error, the port named as the user gave it.
void tellAboutPort(const char *text);
// The rate the port was set up at.
int portBaud();

int writeCOM(const void *bytes, int count);
int readCOM(void *space, int count);
char readCOMwait();

// Sleeps for as long as the given number of bytes take on the wire, from
// when the port has sent everything written to it.
void waitWireTime(int byteCount);

// How long the loader has been silent: since when, and what was said last.
struct Silence {
    double since;
    long shownSeconds;
};
// Silence from now on.
Silence silenceFromNow();
// At a terminal, says once a second how long the loader has been silent.
void countSilence(Silence &silence);
// Waits however long the loader is silent, counting the silence, and reads
// what it then sends, up to count bytes; returns how many came. One wait a
// second at most, so that the count goes on on a busy machine too.
int readCOMwhenItComes(void *space, int count, Silence &silence);

void printHex(const unsigned char *bytes, int count);
