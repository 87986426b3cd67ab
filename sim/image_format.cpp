#include "image_format.h"

#include <cstdio>

std::string binaryImage(const ChipMemory &memory) {
    return std::string(memory.bytes.begin(), memory.bytes.begin() + memory.endWritten());
}

std::string hexRecord(unsigned address, unsigned type, const std::string &data) {
    char field[16];
    snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
             address & 0xFFFF, type);
    std::string record = field;
    unsigned sum = data.size() + (address >> 8 & 0xFF) + (address & 0xFF) + type;
    for (char byte : data) {
        snprintf(field, sizeof field, "%02X", static_cast<unsigned char>(byte));
        record += field;
        sum += static_cast<unsigned char>(byte);
    }
    snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return record + field;
}

std::string hexImage(const ChipMemory &memory) {
    std::string text;
    std::string data;
    unsigned start = 0;
    unsigned bank = 0;  // upper 16 bits of the addresses being written
    for (unsigned address = 0; address <= memory.bytes.size(); ++address) {
        bool taken = address < memory.bytes.size() && memory.written[address];
        if (taken && data.empty()) {
            start = address;
            if (start >> 16 != bank) {
                bank = start >> 16;
                text += hexRecord(0, 4, {static_cast<char>(bank >> 8), static_cast<char>(bank)});
            }
        }
        if (taken) data += static_cast<char>(memory.bytes[address]);
        if (!data.empty() && (!taken || data.size() == 16 || (address + 1) % 0x10000 == 0)) {
            text += hexRecord(start, 0, data);
            data.clear();
        }
    }
    return text + hexRecord(0, 1, "");
}
