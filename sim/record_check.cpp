#include "record_check.h"

#include <algorithm>
#include <cstdio>

void ChipMemory::erase() {
    std::fill(bytes.begin(), bytes.end(), 0xFF);
    std::fill(written.begin(), written.end(), false);
    addressBase = 0;
    dataBytes = 0;
    erased = true;
    endRecordSeen = false;
}

uint32_t ChipMemory::lowWritten() const {
    auto first = std::find(written.begin(), written.end(), true);
    return first == written.end() ? 0 : static_cast<uint32_t>(first - written.begin());
}

uint32_t ChipMemory::endWritten() const {
    auto last = std::find(written.rbegin(), written.rend(), true);
    return static_cast<uint32_t>(written.rend() - last);
}

namespace {

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

// Decodes count byte pairs of digits; false at the first bad digit.
bool decodeDigits(const std::string &digits, size_t count, std::vector<uint8_t> &fields) {
    for (size_t i = 0; i < count; ++i) {
        int high = hexValue(digits[2 * i]);
        int low = hexValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        fields.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

Judgement storeData(const std::vector<uint8_t> &fields, ChipMemory &memory) {
    uint32_t address = memory.addressBase + (fields[1] << 8 | fields[2]);
    size_t count = fields[0];
    if (address + count > memory.bytes.size()) {
        char why[96];
        snprintf(why, sizeof why, "address 0x%04X-0x%04X out of the chip's %zu-byte memory",
                 address, static_cast<unsigned>(address + count - 1), memory.bytes.size());
        return {verdictBadAddress, why};
    }
    for (size_t i = 0; i < count; ++i) {
        memory.bytes[address + i] = fields[4 + i];
        memory.written[address + i] = true;
    }
    memory.dataBytes += static_cast<long>(count);
    return {'G', ""};
}

}  // namespace

// As the ROM loader reads a record: what comes before its start code, and
// after its checksum, is passed over; the count byte says where the
// checksum is.
Judgement judgeRecord(const std::string &line, ChipMemory &memory) {
    if (line.empty()) return {'G', ""};
    size_t start = line.find(':');
    if (start == std::string::npos) return {verdictNoStartCode, "no start code"};
    std::string digits = line.substr(start + 1);
    std::vector<uint8_t> fields;
    if (digits.size() < 2 || !decodeDigits(digits, 1, fields))
        return {verdictBadDigit, "not a hex digit pair"};
    size_t recordBytes = fields[0] + 5u;
    if (digits.size() < 2 * recordBytes)
        return {verdictBadLength, "length does not match the record"};
    fields.clear();
    if (!decodeDigits(digits, recordBytes, fields))
        return {verdictBadDigit, "not a hex digit pair"};
    uint8_t sum = 0;
    for (uint8_t field : fields) sum = static_cast<uint8_t>(sum + field);
    if (sum != 0) return {verdictBadChecksum, "checksum mismatch"};
    uint8_t type = fields[3];
    switch (type) {
        case 0x00:
            return storeData(fields, memory);
        case 0x01:
            memory.endRecordSeen = true;
            return {'G', ""};
        case 0x03:
        case 0x05:
            return {'G', ""};
        case 0x02:
        case 0x04:
            if (fields[0] != 2) return {verdictBadLength, "length does not match the record"};
            memory.addressBase = static_cast<uint32_t>(fields[4] << 8 | fields[5])
                                 << (type == 2 ? 4 : 16);
            return {'G', ""};
        default:
            return {verdictBadType, "unknown record type"};
    }
}
