#include "chip_account.h"

#include <cstdio>

#include "wire.h"

namespace {

std::string formatted(const char *format, double first, double second = 0) {
    char line[160];
    snprintf(line, sizeof line, format, first, second);
    return line;
}

std::string hex4(uint32_t value) {
    char digits[16];
    snprintf(digits, sizeof digits, "0x%04X", value);
    return digits;
}

}  // namespace

std::string sessionAccount(const ChipSession &session, bool judged, bool &clean) {
    const ChipMemory &memory = session.memory;
    std::string account = "load: " + std::to_string(session.lines) + " lines, " +
                          std::to_string(memory.dataBytes) + " data bytes";
    if (memory.endWritten() > 0)
        account += ", " + hex4(memory.lowWritten()) + "-" + hex4(memory.endWritten() - 1);
    account += formatted(", %.2f s at %.0f baud", session.loadSeconds, session.baud) + ", " +
               std::to_string(session.rejected.size()) + " rejected\n";
    for (const std::string &error : session.protocolErrors) account += "protocol: " + error + "\n";
    if (session.hungUp) account += "hung up as asked\n";
    bool complete = memory.endRecordSeen || !judged;
    if (!complete) account += "no end-of-file record: the load did not finish\n";
    clean = session.rejected.empty() && session.protocolErrors.empty() && memory.erased && complete;
    if (!clean && session.cpuQueueMicros >= lateForCpuMicros)
        account += formatted("kept from the CPU for %.0f ms: its replies may have come too late\n",
                             session.cpuQueueMicros / 1000);
    return account;
}

double wireSeconds(const ChipSession &session, const ChipOptions &options) {
    long sent = 0;
    for (const std::string &stage : session.received) sent += static_cast<long>(stage.size());
    double bytesTime = double(sent + session.repliedBytes) * bitsPerByte / session.baud;
    long replies = session.lines + 4;
    double chipWork =
        options.eraseMicros + replies * chipReactionMicros + session.lines * options.lineMicros;
    return bytesTime + chipWork / 1e6;
}
