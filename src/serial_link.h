// The one serial port of a run: speed table, set-up and restore, and the paced
// read and write primitives that every exchange with the chip goes through.
#pragma once

#include "serial_port.h"

// Speed code for a baud rate; prints "Baud rate not supported" and ends the
// process with status 1 for any rate the loader cannot run at.
unsigned long getBaudValue(int baudRate);

// Opens the port and makes it a raw 8N1 line at the given speed. False, with
// the failure, if the port cannot be used.
bool setUpPort(const char *portPath, unsigned long speedCode, PortFailure &failure);

// Puts the saved settings back and closes the port.
void restorePort();

int writeCOM(const void *bytes, int count);
int readCOM(void *space, int count);
char readCOMwait();

// Sleeps for as long as the given number of bytes take on the wire, from
// when the port has sent everything written to it.
void waitWireTime(int byteCount);

// At a terminal, says once a second how long the loader has been silent.
// silentSince is when it last spoke; shownSeconds what was said last.
void countSilence(double silentSince, long &shownSeconds);

void printHex(const unsigned char *bytes, int count);
