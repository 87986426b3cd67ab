// What the fuzz build's port was given and what it was sent.
#pragma once

#include <algorithm>
#include <string>

struct FuzzPort {
    std::string chip;      // what the chip sends, in chunks (fuzz_port.cpp)
    size_t next = 0;       // where the next byte of it is
    size_t left = 0;       // bytes left of the current chunk
    std::string written;   // every byte hexpush wrote
    long lines = 0;        // lines written after the load command
    std::string verdicts;  // the first byte read after each of them
};
extern FuzzPort fuzzPort;
