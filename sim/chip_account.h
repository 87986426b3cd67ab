// What a virtual chip tells of a session once it has ended.
#pragma once

#include <string>

#include "rom_loader.h"

// The account after a load: one line about it, then anything that went
// wrong, each line ending in a line feed. clean: nothing did.
std::string sessionAccount(const ChipSession &session, bool judged, bool &clean);

// The wire's own time for a session: every byte both ways at 10 bits, plus
// the time the chip is modelled to spend on its replies and records. No
// load can be faster.
double wireSeconds(const ChipSession &session, const ChipOptions &options);
