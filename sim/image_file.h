// Files for the virtual chip's images, written whole.
#pragma once

#include <string>

#include "image_format.h"

// Makes a new file, private to the user and closed across exec, at a path
// made from the template: its XXXXXX, suffixLength characters before the
// end, become a name no other file has. Returns its descriptor, or -1.
int makeScratchFile(std::string &pathTemplate, int suffixLength = 0);

// Writes a file whole: into a scratch file beside it, then renamed into
// place, so that a reader never sees it half written (nor a source file
// being loaded, if the two are the same).
bool writeImageFile(const std::string &path, const std::string &contents);
// Whether a file can be written there; errno says why not.
bool canWriteFile(const std::string &path);
// Where a symbolic link points; empty if it is none.
std::string linkTarget(const std::string &link);
// The whole file, or nothing if it cannot be read.
std::string readWholeFile(const std::string &path);
