// Files the tests make for a run: removed when the process ends.
#pragma once

#include <string>

// A file in /tmp that anyone may read, holding the contents.
std::string scratchFile(const std::string &contents, const std::string &suffix = ".hex");
// The same, at a path of exactly pathLength characters, through folders.
std::string deepScratchFile(const std::string &contents, size_t pathLength);
// A FIFO that is fed the contents once, by a writer of its own.
std::string fifoFeeding(const std::string &contents);
// Feeds a FIFO made by fifoFeeding once more, for a run made again; false
// for any other.
bool fifoFedAgain(const std::string &path);
// A pseudo-terminal that holds the contents; once they have been read and
// its reader waits for more, its far side closes, and that read fails (EIO).
std::string ptyFailingAfter(const std::string &contents);
