#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

int makeScratchFile(std::string &pathTemplate, int suffixLength) {
    return mkostemps(pathTemplate.data(), suffixLength, O_CLOEXEC);
}

namespace {

int scratchBeside(const std::string &path, std::string &scratch) {
    scratch = path + ".XXXXXX";
    return makeScratchFile(scratch);
}

}  // namespace

bool writeImageFile(const std::string &path, const std::string &contents) {
    std::string scratch;
    int file = scratchBeside(path, scratch);
    if (file < 0) return false;
    bool written =
        write(file, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    mode_t mask = umask(0);  // mkstemp made it private; it is the user's file
    umask(mask);
    fchmod(file, 0666 & ~mask);
    if (close(file) == 0 && written && rename(scratch.c_str(), path.c_str()) == 0) return true;
    int reason = errno;
    unlink(scratch.c_str());
    errno = reason;
    return false;
}

bool canWriteFile(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    std::string scratch;
    int file = scratchBeside(path, scratch);
    if (file < 0) return false;
    close(file);
    unlink(scratch.c_str());
    return true;
}

std::string linkTarget(const std::string &link) {
    char target[4096];
    ssize_t length = readlink(link.c_str(), target, sizeof target);
    return length < 0 ? "" : std::string(target, length);
}

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}
