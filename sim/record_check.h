// How the virtual chip judges one Intel HEX record and stores its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The memory a virtual chip has unless told otherwise.
const size_t defaultFlashSize = 16384;
// The largest memory a virtual chip is given.
const size_t maxFlashSize = size_t{16} * 1024 * 1024;

struct ChipMemory {
    std::vector<uint8_t> bytes;  // the chip's flash
    std::vector<bool> written;   // which bytes this load has written
    uint32_t addressBase = 0;    // from extended address records
    long dataBytes = 0;
    bool erased = false;
    bool endRecordSeen = false;  // the load reached the end-of-file record

    explicit ChipMemory(size_t size = defaultFlashSize) : bytes(size, 0x00), written(size, false) {}
    void erase();
    // Lowest and one past the highest written address; equal when none.
    uint32_t lowWritten() const;
    uint32_t endWritten() const;
};

struct Judgement {
    char verdict;     // 'G' for an accepted record
    std::string why;  // empty when accepted
};

// Verdict bytes for rejected records.
const char verdictNoStartCode = 'S';
const char verdictBadDigit = 'H';
const char verdictBadLength = 'L';
const char verdictBadChecksum = 'C';
const char verdictBadType = 'T';
const char verdictBadAddress = 'A';

// Judges a record (its line end already taken off) as the ROM loader reads
// it: from its start code to its checksum, whatever stands before and after.
// A good data record is stored; a blank line is accepted and changes
// nothing; a line without a start code is rejected.
Judgement judgeRecord(const std::string &line, ChipMemory &memory);
