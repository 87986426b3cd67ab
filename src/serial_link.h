// The one serial port of a run: speed table, set-up and restore, and the paced
// read and write primitives that every exchange with the chip goes through.
#pragma once

#include <termios.h>

// Descriptor of the open port; -1 until the port is set up.
extern int comPortHandle;

// Speed code for a baud rate; prints "Baud rate not supported" and ends the
// process with status 1 for any rate the loader cannot run at.
speed_t getBaudValue(int baudRate);

// Bits per second of a speed code from the table, 0 if it is not there.
int baudOfSpeed(speed_t speedCode);

// Opens the port, saves its attributes and makes it a raw 8N1 line at the
// given speed. Returns false with errno set if the port cannot be used.
bool setUpPort(const char *portPath, speed_t speedCode);

// Puts the saved attributes back and closes the port.
void restorePort();

// Reports a port that has gone away (unplugged, hung up) and ends the
// process with status 1.
[[noreturn]] void stopOnLostPort(const char *reason);

int writeCOM(const void *bytes, int count);
int readCOM(void *space, int count);
char readCOMwait();

// Sleeps for as long as the given number of bytes take on the wire.
void waitWireTime(int byteCount);

void printHex(const unsigned char *bytes, int count);
