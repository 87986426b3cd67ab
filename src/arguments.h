// The command line in UTF-8, as the shared code takes all text: one
// implementation a system (arguments_posix.cpp, arguments_windows.cpp).
#pragma once

// Where the system gives the arguments otherwise than in UTF-8, replaces
// those main was given with the same text in UTF-8.
void takeArgumentsInUtf8(int &argc, char **&argv);
