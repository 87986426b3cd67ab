#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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
