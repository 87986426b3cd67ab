// The virtual chip's memory written out for the user.
#pragma once

#include <string>

#include "record_check.h"

// From address 0 up to the last written byte; bytes not written this load
// are as the chip holds them (0xFF once erased).
std::string binaryImage(const ChipMemory &memory);

// The written bytes as Intel HEX, 16 data bytes a record, holes skipped.
std::string hexImage(const ChipMemory &memory);

// One Intel HEX record with its checksum and a line feed.
std::string hexRecord(unsigned address, unsigned type, const std::string &data);
