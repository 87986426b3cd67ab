// The virtual chip's memory written out for the user.
#pragma once

#include <string>

#include "record_check.h"

// From address 0 up to the last written byte; bytes not written this load
// are as the chip holds them (0xFF once erased).
std::string binaryImage(const ChipMemory &memory);

// The written bytes as Intel HEX, 16 data bytes a record, holes skipped.
std::string hexImage(const ChipMemory &memory);

bool writeImageFile(const std::string &path, const std::string &contents);
