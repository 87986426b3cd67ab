// Text that names things (arguments, file names, the system's messages)
// between the program's UTF-8 and Windows' UTF-16, for the Windows units.
#pragma once

#include <wchar.h>

// The longest path Windows takes, in UTF-16 units, with its terminator.
const int widePathSize = 32768;

// Each false, with the system's reason, if the text does not fit.
bool toWide(const char *text, wchar_t *wide, int size);
bool fromWide(const wchar_t *wide, char *text, int size);

// The name under which Windows opens a path the user gave, beyond the 260
// characters of its old limit: the full path in its \\?\ form (\\?\UNC\ for
// a share). A name that starts with \\.\ or \\?\ is used as it stands.
bool longPathName(const char *path, wchar_t *name, int size);
