// Fuzzes the virtual chip's judgement of one record: any line, any memory
// state its earlier records left; a finding is whatever the sanitizers see.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "record_check.h"

int main(int argc, char *argv[]) {
    if (argc != 2) return 2;
    std::ifstream input(argv[1], std::ios::binary);
    std::string lines((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    ChipMemory memory(4096);
    for (size_t start = 0, end; start <= lines.size(); start = end + 1) {
        end = std::min(lines.find('\n', start), lines.size());
        judgeRecord(lines.substr(start, end - start), memory);
    }
    return 0;
}
