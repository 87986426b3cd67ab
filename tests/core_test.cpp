// The virtual chip's processor against s51 (Debian's sdcc-ucsim), run as a
// black box: every defined opcode from a spread of states, each stepped
// once in both, and the whole state after it compared.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "chip_core.h"
#include "harness.h"

namespace {

// The operand bytes of an opcode as the 8051's instruction set lays them
// out: d a direct address, b a bit address, x any other byte.
std::string operandsOf(uint8_t op) {
    int low = op & 0x0F, row = op >> 4;
    bool registers = low >= 8, indirect = low == 6 || low == 7;
    if (registers || indirect) {
        switch (row) {
            case 0x7: return "x";             // MOV Rn/@Ri,#data
            case 0x8: case 0xA: return "d";   // MOV direct,Rn/@Ri and back
            case 0xB: return "xx";            // CJNE Rn/@Ri,#data,rel
            case 0xD: return registers ? "x" : "";  // DJNZ Rn,rel
            default: return "";
        }
    }
    if (low == 1) return "x";  // AJMP, ACALL
    static const std::map<int, std::string> others = {
        {0x02, "xx"}, {0x12, "xx"}, {0x05, "d"}, {0x15, "d"}, {0x10, "bx"}, {0x20, "bx"}, {0x30, "bx"},
        {0x24, "x"}, {0x25, "d"}, {0x34, "x"}, {0x35, "d"}, {0x40, "x"}, {0x42, "d"}, {0x43, "dx"},
        {0x44, "x"}, {0x45, "d"}, {0x50, "x"}, {0x52, "d"}, {0x53, "dx"}, {0x54, "x"}, {0x55, "d"},
        {0x60, "x"}, {0x62, "d"}, {0x63, "dx"}, {0x64, "x"}, {0x65, "d"}, {0x70, "x"}, {0x72, "b"},
        {0x74, "x"}, {0x75, "dx"}, {0x80, "x"}, {0x82, "b"}, {0x85, "dd"}, {0x90, "xx"}, {0x92, "b"},
        {0x94, "x"}, {0x95, "d"}, {0xA0, "b"}, {0xA2, "b"}, {0xB0, "b"}, {0xB2, "b"}, {0xB4, "xx"},
        {0xB5, "dx"}, {0xC0, "d"}, {0xC2, "b"}, {0xC5, "d"}, {0xD0, "d"}, {0xD2, "b"}, {0xD5, "dx"},
        {0xE5, "d"}, {0xF5, "d"}};
    auto found = others.find(op);
    return found == others.end() ? "" : found->second;
}

// The registers a case may name directly: none with a peripheral behind it
// (IP's enables are all off).
const uint8_t plainRegisters[] = {regACC, regB, regPSW, regSP, regDPL, regDPH, regP1, regIP};
const uint8_t bitRegisters[] = {regACC, regB, regPSW, regP1, regIP};
const uint8_t edgeValues[] = {0x00, 0x01, 0x09, 0x0F, 0x10, 0x7F, 0x80, 0x99, 0x9A, 0xFF};

struct Case {
    uint16_t pc;
    std::vector<uint8_t> instruction;
    std::array<uint8_t, 256> iram;
    std::array<uint8_t, 128> sfr{};
    int xram = -1;  // the MOVX byte's address
    uint8_t xramByte = 0;
    int code = -1;  // the MOVC byte's address
    uint8_t codeByte = 0;
};

struct State {
    std::array<uint8_t, 256> iram;
    std::array<uint8_t, 128> sfr;
    uint16_t pc = 0;
    int xramByte = -1;
};

uint8_t &sfrOf(Case &one, uint8_t address) { return one.sfr[address - 0x80]; }

struct Maker {
    std::mt19937 random{20261210};
    uint8_t any() { return static_cast<uint8_t>(random()); }
    uint8_t value() { return random() % 3 ? any() : edgeValues[random() % sizeof edgeValues]; }
    uint8_t direct() { return random() % 10 < 7 ? any() & 0x7F : plainRegisters[random() % sizeof plainRegisters]; }
    uint8_t bit() {
        return random() % 10 < 7 ? any() & 0x7F : bitRegisters[random() % sizeof bitRegisters] | (any() & 7);
    }

    Case make(uint8_t op) {
        Case one;
        one.pc = static_cast<uint16_t>(0x100 + random() % 0x3D00);
        one.instruction = {op};
        for (char kind : operandsOf(op))
            one.instruction.push_back(kind == 'd' ? direct() : kind == 'b' ? bit() : any());
        for (uint8_t &byte : one.iram) byte = any();
        sfrOf(one, regP0) = sfrOf(one, regP3) = 0xFF;
        for (uint8_t address : {regACC, regB, regSP, regDPL, regDPH, regP1, regP2})
            sfrOf(one, address) = value();
        int parity = 0;
        for (uint8_t a = sfrOf(one, regACC); a; a &= a - 1) parity ^= 1;
        sfrOf(one, regPSW) = static_cast<uint8_t>((any() & 0xFE) | parity);
        constrain(one, op);
        return one;
    }

    // MOVX stays inside the on-chip 1 KiB, MOVC inside the 16 KiB, and what
    // they read is set in both.
    void constrain(Case &one, uint8_t op) {
        if (op == 0xE0 || op == 0xF0 || op == 0xE2 || op == 0xE3 || op == 0xF2 || op == 0xF3) {
            bool pointer = (op & 0x0F) == 0;
            sfrOf(one, pointer ? regDPH : regP2) = static_cast<uint8_t>(random() % 4);
            uint8_t bank = sfrOf(one, regPSW) & 0x18;
            uint8_t low = pointer ? sfrOf(one, regDPL) : one.iram[bank + (op & 1)];
            one.xram = (pointer ? sfrOf(one, regDPH) : sfrOf(one, regP2)) << 8 | low;
            one.xramByte = any();
        }
        // CJNE with operands equal, a third of the time.
        if (op >= 0xB4 && op <= 0xBF && random() % 3 == 0) {
            uint8_t bank = sfrOf(one, regPSW) & 0x18;
            uint8_t left = op < 0xB6 ? sfrOf(one, regACC) : op < 0xB8 ? one.iram[one.iram[bank + (op & 1)]]
                                                                         : one.iram[bank + (op & 7)];
            if (op != 0xB5) one.instruction[1] = left;
            else if (one.instruction[1] < 0x80) one.iram[one.instruction[1]] = left;
        }
        if (op == 0x83 || op == 0x93) {
            if (op == 0x93) sfrOf(one, regDPH) = static_cast<uint8_t>(random() % 0x3E);
            uint16_t base = op == 0x83 ? one.pc + 1 : sfrOf(one, regDPH) << 8 | sfrOf(one, regDPL);
            one.code = base + sfrOf(one, regACC);
            one.codeByte = any();
            if (one.code >= one.pc && one.code < one.pc + 1) one.code = -1;
        }
    }
};

std::string hexList(const uint8_t *bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += " " + std::to_string(bytes[i]);
    return text;
}

std::string s51Script(const std::vector<Case> &cases) {
    std::string script;
    char line[160];
    for (const Case &one : cases) {
        script += "set mem iram 0" + hexList(one.iram.data(), 256) + "\n";
        script += "set mem sfr 0x80" + hexList(one.sfr.data(), 128) + "\n";
        snprintf(line, sizeof line, "set mem rom %d", one.pc);
        script += line + hexList(one.instruction.data(), one.instruction.size()) + "\n";
        if (one.code >= 0) script += "set mem rom " + std::to_string(one.code) + " " + std::to_string(one.codeByte) + "\n";
        if (one.xram >= 0) script += "set mem xram " + std::to_string(one.xram) + " " + std::to_string(one.xramByte) + "\n";
        script += "pc " + std::to_string(one.pc) + "\nstep\ndump /h iram 0 0xff 256\ndump /h sfr 0x80 0xff 128\n";
        if (one.xram >= 0) script += "dump /h xram " + std::to_string(one.xram) + " " + std::to_string(one.xram) + " 16\n";
    }
    return script + "quit\n";
}

// Reads "0xADDR b0 b1 ... ASCII": count bytes of two hex digits and a
// space each, then as many characters.
bool dumpLine(const std::string &line, size_t count, uint8_t *into) {
    size_t at = line.find(' ');
    if (line.compare(0, 2, "0x") != 0 || at == std::string::npos || line.size() != at + 4 * count + 1) return false;
    for (size_t i = 0; i < count; ++i, at += 3) {
        if (line[at] != ' ' || !isxdigit(static_cast<unsigned char>(line[at + 1])) ||
            !isxdigit(static_cast<unsigned char>(line[at + 2])))
            return false;
        into[i] = static_cast<uint8_t>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
    }
    return true;
}

// s51's state after each case, from what it printed.
std::vector<State> s51States(const std::string &output, const std::vector<Case> &cases) {
    std::vector<State> states;
    std::istringstream lines(output);
    std::string line;
    auto next = [&](size_t count, uint8_t *into) {
        while (std::getline(lines, line) && !dumpLine(line, count, into)) continue;
    };
    for (const Case &one : cases) {
        State state;
        while (std::getline(lines, line) && line.compare(0, 8, "Stop at ") != 0) continue;
        if (!lines) break;
        state.pc = static_cast<uint16_t>(std::stoi(line.substr(10), nullptr, 16));
        next(256, state.iram.data());
        next(128, state.sfr.data());
        uint8_t byte = 0;
        if (one.xram >= 0) next(1, &byte);
        state.xramByte = one.xram >= 0 ? byte : -1;
        states.push_back(state);
    }
    return states;
}

State ours(const Case &one) {
    std::vector<uint8_t> code(defaultFlashSize, 0xFF);
    std::copy(one.instruction.begin(), one.instruction.end(), code.begin() + one.pc);
    if (one.code >= 0 && one.code < static_cast<int>(code.size())) code[one.code] = one.codeByte;
    ChipCore chip;
    resetChip(chip, code, defaultCrystalHz);
    std::copy(one.iram.begin(), one.iram.end(), chip.iram);
    std::copy(one.sfr.begin(), one.sfr.end(), chip.sfr);
    for (int port = 0; port < 4; ++port) chip.ports.pins[port] = one.sfr[port * 0x10];
    if (one.xram >= 0) chip.xram[one.xram] = one.xramByte;
    chip.pc = one.pc;
    chip.nextEvent = ~Clocks{0};
    runInstructions(chip, chip.clocks + 1);
    State state;
    std::copy(chip.iram, chip.iram + 256, state.iram.begin());
    std::copy(chip.sfr, chip.sfr + 128, state.sfr.begin());
    state.sfr[regPSW - 0x80] = programStatus(chip);
    state.pc = chip.pc;
    if (one.xram >= 0) state.xramByte = chip.xram[one.xram];
    return state;
}

std::string describe(const Case &one) {
    char text[200];
    const uint8_t *sfr = one.sfr.data();
    snprintf(text, sizeof text, "at 0x%04X:%s; A=%02X B=%02X PSW=%02X SP=%02X DPTR=%02X%02X P1=%02X P2=%02X",
             one.pc, hexList(one.instruction.data(), one.instruction.size()).c_str(), sfr[0x60], sfr[0x70],
             sfr[0x50], sfr[0x01], sfr[0x03], sfr[0x02], sfr[0x10], sfr[0x20]);
    return text;
}

// RAM and SFRs byte by byte, PC, and the MOVX byte. A and B after a
// division by zero are undefined on the chip. P is A's parity, always, on
// the chip; s51 leaves a P written into PSW until A changes, so P is
// checked through A alone.
std::string differences(const Case &one, const State &theirs, const State &mine) {
    std::string found;
    bool divisionByZero = one.instruction[0] == 0x84 && one.sfr[regB - 0x80] == 0;
    for (int i = 0; i < 384; ++i) {
        bool ram = i < 256;
        int address = ram ? i : i - 128, a = ram ? theirs.iram[i] : theirs.sfr[i - 256];
        int b = ram ? mine.iram[i] : mine.sfr[i - 256];
        bool undefined = !ram && divisionByZero && (address == regACC || address == regB);
        int mask = !ram && address == regPSW ? 0xFE : 0xFF;
        char text[80];
        snprintf(text, sizeof text, " %s 0x%02X: s51 %02X, ours %02X;", ram ? "RAM" : "SFR", address, a, b);
        if (((a ^ b) & mask) && !undefined) found += text;
    }
    if (theirs.pc != mine.pc) found += " PC: s51 " + std::to_string(theirs.pc) + ", ours " + std::to_string(mine.pc) + ";";
    if (theirs.xramByte != mine.xramByte) found += " the MOVX byte differs;";
    return found;
}

// Runs the cases in several s51s at once (it is slow to take commands).
std::vector<State> runInS51(const std::vector<Case> &cases, int parts) {
    std::string hex = scratchFile(":00000001FF\n", ".hex");
    std::vector<std::vector<Case>> shares;
    for (int part = 0; part < parts; ++part)
        shares.emplace_back(cases.begin() + cases.size() * part / parts, cases.begin() + cases.size() * (part + 1) / parts);
    std::vector<std::string> outputs(parts);
    std::vector<std::thread> runs;
    for (int part = 0; part < parts; ++part) {
        runs.emplace_back([&, part] {
            std::string script = scratchFile(s51Script(shares[part]), ".cmd"), out = scratchFile("", ".out");
            if (system(("s51 -t 8052 -b -C " + script + " " + hex + " </dev/null >" + out + " 2>/dev/null").c_str()) == 0)
                outputs[part] = readWholeFile(out);
        });
    }
    std::vector<State> states;
    for (int part = 0; part < parts; ++part) {
        runs[part].join();
        std::vector<State> some = s51States(outputs[part], shares[part]);
        states.insert(states.end(), some.begin(), some.end());
    }
    return states;
}

TEST(InstructionSet, EveryOpcodeLeavesTheStateS51Leaves) {
    if (system("command -v s51 >/dev/null") != 0) SKIP_BECAUSE("s51 is not installed (sdcc-ucsim)");
    Maker maker;
    std::vector<Case> cases;
    const int variants = 12;
    for (int op = 0; op < 256; ++op) {
        for (int variant = 0; op != 0xA5 && variant < variants; ++variant)
            cases.push_back(maker.make(static_cast<uint8_t>(op)));
    }
    std::vector<State> theirs = runInS51(cases, 4);
    ASSERT_EQ(theirs.size(), cases.size()) << "s51 did not run every case";
    int failures = 0;
    for (size_t i = 0; i < cases.size() && failures < 20; ++i) {
        std::string found = differences(cases[i], theirs[i], ours(cases[i]));
        if (found.empty()) continue;
        ++failures;
        ADD_FAILURE() << describe(cases[i]) << ":" << found;
    }
}

// A chip running hand-assembled code: the program at 0x30, past the
// routines at their interrupt vectors.
struct Bench {
    ChipCore chip;
    explicit Bench(const std::vector<uint8_t> &program, const std::map<uint16_t, std::vector<uint8_t>> &vectors = {}) {
        std::vector<uint8_t> code(defaultFlashSize, 0xFF);
        code[0] = 0x02;  // LJMP 0x0030
        code[1] = 0x00;
        code[2] = 0x30;
        std::copy(program.begin(), program.end(), code.begin() + 0x30);
        for (const auto &vector : vectors) std::copy(vector.second.begin(), vector.second.end(), code.begin() + vector.first);
        resetChip(chip, code, defaultCrystalHz);
    }
    void run(double millis) { runChip(chip, chip.clocks + clocksAt(chip, millis / 1e3)); }
    void press(int port, int bit, double millis = 1) {
        groundPin(chip, port, bit, true);
        run(millis);
        groundPin(chip, port, bit, false);
        run(millis);
    }
    uint8_t sfr(uint8_t address) { return chip.sfr[address - 0x80]; }
};

// What reaches the chip from its pins and its receive line, which s51 is
// not given: bytes that come faster than the program takes them, a button
// on an interrupt pin (edge and level), a timer counting a pin or gated by
// one, and timer 2 capturing on T2EX.
TEST(Peripherals, WhatThePinsAndTheLineBringIn) {
    const std::vector<uint8_t> serialOn = {0x75, 0x98, 0x50, 0x75, 0x89, 0x20, 0x75, 0x8D, 0xFD, 0xD2, 0x8E};
    const std::vector<uint8_t> idle = {0x80, 0xFE};  // SJMP $
    std::vector<uint8_t> program = serialOn;
    program.insert(program.end(), idle.begin(), idle.end());
    Bench line(program);
    line.run(1);
    const uint8_t abc[] = {'a', 'b', 'c'};
    serialReceive(line.chip, abc, 3, 9600, line.chip.clocks);
    line.run(10);
    EXPECT_EQ(line.sfr(regSCON) & 0x01, 1) << "RI";
    EXPECT_EQ(line.chip.serial.received, 'a');
    EXPECT_EQ(line.chip.serial.lost, 2) << "bytes that came while RI was still set";

    // SETB IT0 (or CLR IT0), SETB EX0, SETB EA; at the vector INC R7 and
    // the same write to IT0, which samples nothing new.
    for (bool edge : {true, false}) {
        uint8_t trigger = edge ? 0xD2 : 0xC2;
        Bench button({trigger, 0x88, 0xD2, 0xA8, 0xD2, 0xAF, 0x80, 0xFE}, {{0x03, {0x0F, trigger, 0x88, 0x32}}});
        button.run(1);
        button.press(3, 2);
        button.press(3, 2);
        uint8_t taken = button.chip.iram[7];
        if (edge)
            EXPECT_EQ(taken, 2) << "an edge-triggered interrupt once a press";
        else
            EXPECT_GT(taken, 10) << "a level-triggered interrupt again and again while held";
    }

    // Timer 0 counting T0 (P3.4) presses; then, gated by INT0 (P3.2), timing only while it is high.
    Bench counter({0x75, 0x89, 0x05, 0xD2, 0x8C, 0x80, 0xFE});
    counter.run(1);
    for (int press = 0; press < 5; ++press) counter.press(3, 4);
    EXPECT_EQ(counter.sfr(regTL0), 5);
    Bench gated({0x75, 0x89, 0x09, 0xD2, 0x8C, 0x80, 0xFE});
    groundPin(gated.chip, 3, 2, true);
    gated.run(1);
    syncTimers(gated.chip);
    EXPECT_EQ(gated.sfr(regTL0), 0) << "counted with its gate closed";
    groundPin(gated.chip, 3, 2, false);
    gated.run(0.1);
    syncTimers(gated.chip);
    EXPECT_NEAR(gated.sfr(regTL0), 0.1e-3 * defaultCrystalHz / 12, 2);

    // T2CON = EXEN2 | TR2 | CP/RL2: T2EX (P1.1) falling captures TH2:TL2.
    Bench capture({0x75, 0xC8, 0x0D, 0x80, 0xFE});
    capture.run(2);
    syncTimers(capture.chip);
    unsigned before = capture.sfr(regTH2) << 8 | capture.sfr(regTL2);
    capture.press(1, 1);
    unsigned captured = capture.sfr(regRCAP2H) << 8 | capture.sfr(regRCAP2L);
    EXPECT_NEAR(captured, before, 2) << "not the count when T2EX fell";
    EXPECT_EQ(capture.sfr(regT2CON) & 0x40, 0x40) << "EXF2";
}

}  // namespace
