#include "screen.h"

#include <algorithm>
#include <vector>

std::string screenLines(const std::string &received) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (size_t i = 0; i < received.size(); ++i) {
        std::string &line = lines.back();
        if (received.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else if (received[i] == '\r' || received[i] == '\n') {
            column = 0;
            if (received[i] == '\n') lines.emplace_back();
        } else {
            if (column >= line.size()) line.resize(column + 1, ' ');
            line[column++] = received[i];
        }
    }
    std::string screen;
    for (const std::string &line : lines) screen += line + "\n";
    return screen.substr(0, screen.size() - 1);
}
