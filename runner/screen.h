// What a program's output looks like on a terminal.
#pragma once

#include <string>

// The lines a terminal shows after these bytes: carriage returns, line feeds
// and erase-to-end ("\033[K") honoured.
std::string screenLines(const std::string &received);
