#include "arguments.h"

// Names are bytes here, passed on as the user gave them.
void takeArgumentsInUtf8(int &, char **&) {}
