// What the Windows port unit decides on its own, for its tests.
#pragma once

#include <cstddef>

// The name CreateFile needs for the port the user named: COM1 to COM256 as
// \\.\COMn; anything else as it stands.
void systemPortName(const char *userName, char *name, size_t size);

// Whether a port that Windows refused to open is held by another program.
bool isHeldElsewhere(unsigned long windowsError);
