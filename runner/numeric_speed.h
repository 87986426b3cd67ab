// Setting a port's speed as newer programs do (Wine among them): BOTHER, the
// speed as a number, rather than a standard code.
#pragma once

// False if the port behind hostFd does not take it.
bool setWireBaudAsNumber(int hostFd, int baud);
