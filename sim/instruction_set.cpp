// The 8052's instruction set: every opcode but 0xA5, which is reserved and
// stops the chip. Registers live where the chip keeps them: R0-R7 in the
// bank PSW selects, A, B, PSW, SP and DPTR among the SFRs.
#include <cstddef>
#include <cstdio>
#include <utility>

#include "chip_core.h"

namespace {

// Bytes of each instruction, opcode by opcode (rows are the high nibble).
constexpr uint8_t instructionBytes[256] = {
    1, 2, 3, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x00
    3, 2, 3, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x10
    3, 2, 1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x20
    3, 2, 1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x30
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x40
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x50
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x60
    2, 2, 2, 1, 2, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0x70
    2, 2, 2, 1, 1, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0x80
    3, 2, 2, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x90
    2, 2, 2, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xA0
    2, 2, 2, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,  // 0xB0
    2, 2, 2, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xC0
    2, 2, 2, 1, 1, 3, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xD0
    1, 2, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xE0
    1, 2, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xF0
};

constexpr uint8_t opMUL = 0xA4, opDIV = 0x84, opReserved = 0xA5;

// Crystal clocks each instruction takes: the chip's machine cycle is one
// clock, and an instruction here takes one a byte, but for the two whose
// cycles this table knows. The one place instruction timing is decided.
struct ClockTable {
    uint8_t clocks[256];
    constexpr ClockTable() : clocks() {
        for (int op = 0; op < 256; ++op) clocks[op] = instructionBytes[op];
        clocks[opMUL] = 9;
        clocks[opDIV] = 10;
    }
};
constexpr ClockTable clockTable;

const uint8_t carryFlag = 0x80, auxCarryFlag = 0x40, overflowFlag = 0x04, bankBits = 0x18;

// The processor while the loop runs: its program, PC and clock kept apart
// from the chip, so that they can stay in registers; the chip's clock is
// brought up to date before anything outside this file looks at it.
struct Machine {
    ChipCore &chip;
    const uint8_t *program;
    uint32_t programSize, fastEnd;  // an instruction starting below fastEnd fits whole
    uint16_t pc;
    Clocks clocks;
};

inline ChipCore &synced(Machine &m) {
    m.chip.clocks = m.clocks;
    return m.chip;
}

inline uint8_t &sfrAt(Machine &m, uint8_t address) { return m.chip.sfr[address - 0x80]; }
inline uint8_t &accumulator(Machine &m) { return sfrAt(m, regACC); }
inline uint8_t &psw(Machine &m) { return sfrAt(m, regPSW); }
inline uint8_t &stackPointer(Machine &m) { return sfrAt(m, regSP); }
inline uint8_t &reg(Machine &m, int n) { return m.chip.iram[(psw(m) & bankBits) + n]; }
inline uint8_t &indirect(Machine &m, uint8_t op) { return m.chip.iram[reg(m, op & 1)]; }
inline bool carry(Machine &m) { return psw(m) & carryFlag; }
inline void setCarry(Machine &m, bool set) {
    psw(m) = static_cast<uint8_t>((psw(m) & ~carryFlag) | (set ? carryFlag : 0));
}
inline uint16_t dptr(Machine &m) { return static_cast<uint16_t>(sfrAt(m, regDPH) << 8 | sfrAt(m, regDPL)); }

inline uint8_t readDirect(Machine &m, uint8_t address) {
    return address < 0x80 ? m.chip.iram[address] : readRegister(synced(m), address);
}
inline uint8_t readDirectLatch(Machine &m, uint8_t address) {
    return address < 0x80 ? m.chip.iram[address] : readRegisterLatch(synced(m), address);
}
inline void writeDirect(Machine &m, uint8_t address, uint8_t value) {
    if (address < 0x80)
        m.chip.iram[address] = value;
    else
        writeRegister(synced(m), address, value);
}

// Bits 0x00-0x7F are RAM 0x20-0x2F; the rest are bits of the SFRs whose
// address ends in 0 or 8.
inline uint8_t bitByte(uint8_t bit) { return bit < 0x80 ? 0x20 + (bit >> 3) : bit & 0xF8; }
inline bool readBit(Machine &m, uint8_t bit) { return readDirect(m, bitByte(bit)) >> (bit & 7) & 1; }
inline bool readBitLatch(Machine &m, uint8_t bit) {
    return readDirectLatch(m, bitByte(bit)) >> (bit & 7) & 1;
}
inline void writeBit(Machine &m, uint8_t bit, bool value) {
    uint8_t address = bitByte(bit), mask = static_cast<uint8_t>(1 << (bit & 7));
    uint8_t old = readDirectLatch(m, address);
    writeDirect(m, address, static_cast<uint8_t>(value ? old | mask : old & ~mask));
}

inline void push(Machine &m, uint8_t value) { m.chip.iram[++stackPointer(m)] = value; }
inline uint8_t pop(Machine &m) { return m.chip.iram[stackPointer(m)--]; }
inline void pushPc(Machine &m) {
    push(m, static_cast<uint8_t>(m.pc));
    push(m, static_cast<uint8_t>(m.pc >> 8));
}
inline uint16_t popPc(Machine &m) {
    uint16_t high = pop(m);
    return static_cast<uint16_t>(high << 8 | pop(m));
}

inline uint8_t codeByte(const Machine &m, uint16_t address) {
    return address < m.programSize ? m.program[address] : 0xFF;
}

void setArithmeticFlags(Machine &m, bool cy, bool ac, bool ov) {
    psw(m) = static_cast<uint8_t>((psw(m) & ~(carryFlag | auxCarryFlag | overflowFlag)) |
                                  (cy ? carryFlag : 0) | (ac ? auxCarryFlag : 0) |
                                  (ov ? overflowFlag : 0));
}

inline void add(Machine &m, uint8_t value, int carryIn) {
    uint8_t &a = accumulator(m);
    unsigned sum = a + value + carryIn;
    bool cy = sum > 0xFF;
    bool ac = (a & 0x0F) + (value & 0x0F) + carryIn > 0x0F;
    bool intoBit7 = (a & 0x7F) + (value & 0x7F) + carryIn > 0x7F;
    setArithmeticFlags(m, cy, ac, intoBit7 != cy);
    a = static_cast<uint8_t>(sum);
}

inline void subtractWithBorrow(Machine &m, uint8_t value) {
    uint8_t &a = accumulator(m);
    int borrow = carry(m);
    int difference = a - value - borrow;
    bool cy = difference < 0;
    bool ac = (a & 0x0F) - (value & 0x0F) - borrow < 0;
    bool intoBit7 = (a & 0x7F) - (value & 0x7F) - borrow < 0;
    setArithmeticFlags(m, cy, ac, intoBit7 != cy);
    a = static_cast<uint8_t>(difference);
}

void decimalAdjust(Machine &m) {
    unsigned a = accumulator(m);
    bool cy = carry(m);
    if ((a & 0x0F) > 9 || (psw(m) & auxCarryFlag)) {
        a += 0x06;
        cy = cy || a > 0xFF;
        a &= 0xFF;
    }
    if ((a & 0xF0) > 0x90 || cy) {
        a += 0x60;
        cy = cy || a > 0xFF;
        a &= 0xFF;
    }
    accumulator(m) = static_cast<uint8_t>(a);
    setCarry(m, cy);
}

void multiply(Machine &m) {
    uint8_t &b = sfrAt(m, regB);
    unsigned product = accumulator(m) * b;
    accumulator(m) = static_cast<uint8_t>(product);
    b = static_cast<uint8_t>(product >> 8);
    psw(m) = static_cast<uint8_t>((psw(m) & ~(carryFlag | overflowFlag)) |
                                  (product > 0xFF ? overflowFlag : 0));
}

// Division by zero leaves A and B as they were, and says so in OV.
void divide(Machine &m) {
    uint8_t &a = accumulator(m), &b = sfrAt(m, regB);
    bool byZero = b == 0;
    if (!byZero) {
        uint8_t quotient = static_cast<uint8_t>(a / b);
        b = static_cast<uint8_t>(a % b);
        a = quotient;
    }
    psw(m) = static_cast<uint8_t>((psw(m) & ~(carryFlag | overflowFlag)) |
                                  (byZero ? overflowFlag : 0));
}

inline void jumpRelative(Machine &m, uint8_t offset) {
    m.pc = static_cast<uint16_t>(m.pc + static_cast<int8_t>(offset));
}

inline uint16_t absoluteTarget(const Machine &m, uint8_t op, uint8_t low) {
    return static_cast<uint16_t>((m.pc & 0xF800) | (op & 0xE0) << 3 | low);
}

// MOVX reaches the on-chip 1 KiB; beyond it there is no external memory.
uint16_t movxAddress(Machine &m, uint8_t op) {
    if ((op & 0x0E) == 0) return dptr(m);
    return static_cast<uint16_t>(sfrAt(m, regP2) << 8 | reg(m, op & 1));
}
void noteNoExternalMemory(ChipCore &chip, uint16_t address) {
    char text[120];
    snprintf(text, sizeof text,
             "MOVX at 0x%04X: no external memory is simulated, only the 1 KiB at 0x0000-0x03FF",
             address);
    noteOnce(chip, noteExternalMemory, text);
}
uint8_t readExternal(Machine &m, uint16_t address) {
    if (address < onChipMovxSize) return m.chip.xram[address];
    noteNoExternalMemory(m.chip, address);
    return 0xFF;
}
void writeExternal(Machine &m, uint16_t address, uint8_t value) {
    if (address < onChipMovxSize)
        m.chip.xram[address] = value;
    else
        noteNoExternalMemory(m.chip, address);
}

// The source of the arithmetic and logic rows: #data, direct, @Ri or Rn,
// by the opcode's low nibble (4 to F).
inline uint8_t sourceOperand(Machine &m, uint8_t op, const uint8_t *operands) {
    switch (op & 0x0F) {
        case 0x4: return operands[0];
        case 0x5: return readDirect(m, operands[0]);
        case 0x6:
        case 0x7: return indirect(m, op);
        default: return reg(m, op & 7);
    }
}

// ANL, ORL and XRL in one: the row picks the operation.
inline uint8_t logic(uint8_t op, uint8_t a, uint8_t b) {
    switch (op >> 4) {
        case 0x4: return a | b;
        case 0x5: return a & b;
        default: return a ^ b;
    }
}

// Read-modify-write of a direct byte: ports give their latch.
template <typename Change>
inline void modifyDirect(Machine &m, uint8_t address, Change change) {
    writeDirect(m, address, static_cast<uint8_t>(change(readDirectLatch(m, address))));
}

// The chip stops at the reserved opcode, or where an instruction would
// run past the end of the program memory.
bool stopAt(Machine &m, uint16_t at) {
    bool inside = at < m.programSize;
    uint8_t op = inside ? m.program[at] : 0;
    bool reserved = inside && op == opReserved;
    if (!reserved && inside && at + instructionBytes[op] <= m.programSize) return false;
    ChipCore &chip = synced(m);
    chip.stop = reserved ? ChipStop::reservedOpcode : ChipStop::offTheEnd;
    chip.stopAddress = at;
    chip.nextEvent = 0;
    return true;
}

#define REGISTERS(base)                                                                      \
    case (base) + 0: case (base) + 1: case (base) + 2: case (base) + 3: case (base) + 4:     \
    case (base) + 5: case (base) + 6: case (base) + 7
#define INDIRECTS(base) case (base): case (base) + 1
#define SOURCES(base) case (base) + 4: case (base) + 5: INDIRECTS((base) + 6): REGISTERS((base) + 8)
#define EVERY_ROW(low)                                                                        \
    case 0x00 + (low): case 0x20 + (low): case 0x40 + (low): case 0x60 + (low):             \
    case 0x80 + (low): case 0xA0 + (low): case 0xC0 + (low): case 0xE0 + (low)

// One instruction at PC; false if the chip stopped there instead.
inline bool execute(Machine &m) {
    uint16_t at = m.pc;
    if (at >= m.fastEnd && stopAt(m, at)) return false;
    uint8_t op = m.program[at];
    if (op == opReserved && stopAt(m, at)) return false;
    const uint8_t *operands = m.program + at + 1;
    m.pc = static_cast<uint16_t>(at + instructionBytes[op]);
    m.clocks += clockTable.clocks[op];
    uint8_t &a = accumulator(m);
    switch (op) {
        case 0x00: break;  // NOP
        EVERY_ROW(0x01): m.pc = absoluteTarget(m, op, operands[0]); break;  // AJMP
        EVERY_ROW(0x11):  // ACALL
            pushPc(m);
            m.pc = absoluteTarget(m, op, operands[0]);
            break;
        case 0x02: m.pc = static_cast<uint16_t>(operands[0] << 8 | operands[1]); break;  // LJMP
        case 0x12:  // LCALL
            pushPc(m);
            m.pc = static_cast<uint16_t>(operands[0] << 8 | operands[1]);
            break;
        case 0x22: m.pc = popPc(m); break;  // RET
        case 0x32:  // RETI
            m.pc = popPc(m);
            returnFromInterrupt(synced(m));
            break;
        case 0x03: a = static_cast<uint8_t>(a >> 1 | a << 7); break;  // RR A
        case 0x23: a = static_cast<uint8_t>(a << 1 | a >> 7); break;  // RL A
        case 0x13: {  // RRC A
            bool out = a & 1;
            a = static_cast<uint8_t>(a >> 1 | (carry(m) ? 0x80 : 0));
            setCarry(m, out);
            break;
        }
        case 0x33: {  // RLC A
            bool out = a & 0x80;
            a = static_cast<uint8_t>(a << 1 | (carry(m) ? 1 : 0));
            setCarry(m, out);
            break;
        }
        case 0x04: ++a; break;
        case 0x14: --a; break;
        case 0x05: modifyDirect(m, operands[0], [](uint8_t v) { return v + 1; }); break;
        case 0x15: modifyDirect(m, operands[0], [](uint8_t v) { return v - 1; }); break;
        INDIRECTS(0x06): ++indirect(m, op); break;
        INDIRECTS(0x16): --indirect(m, op); break;
        REGISTERS(0x08): ++reg(m, op & 7); break;
        REGISTERS(0x18): --reg(m, op & 7); break;
        case 0xA3: {  // INC DPTR
            uint16_t next = static_cast<uint16_t>(dptr(m) + 1);
            sfrAt(m, regDPL) = static_cast<uint8_t>(next);
            sfrAt(m, regDPH) = static_cast<uint8_t>(next >> 8);
            break;
        }
        case 0x10:  // JBC
            if (readBitLatch(m, operands[0])) {
                writeBit(m, operands[0], false);
                jumpRelative(m, operands[1]);
            }
            break;
        case 0x20: if (readBit(m, operands[0])) jumpRelative(m, operands[1]); break;   // JB
        case 0x30: if (!readBit(m, operands[0])) jumpRelative(m, operands[1]); break;  // JNB
        case 0x40: if (carry(m)) jumpRelative(m, operands[0]); break;                  // JC
        case 0x50: if (!carry(m)) jumpRelative(m, operands[0]); break;                 // JNC
        case 0x60: if (a == 0) jumpRelative(m, operands[0]); break;                       // JZ
        case 0x70: if (a != 0) jumpRelative(m, operands[0]); break;                       // JNZ
        case 0x80: jumpRelative(m, operands[0]); break;                                   // SJMP
        case 0x73: m.pc = static_cast<uint16_t>(a + dptr(m)); break;                  // JMP @A+DPTR
        SOURCES(0x20): add(m, sourceOperand(m, op, operands), 0); break;
        SOURCES(0x30): add(m, sourceOperand(m, op, operands), carry(m)); break;
        SOURCES(0x90): subtractWithBorrow(m, sourceOperand(m, op, operands)); break;
        SOURCES(0x40):
        SOURCES(0x50):
        SOURCES(0x60): a = logic(op, a, sourceOperand(m, op, operands)); break;
        case 0x42: case 0x52: case 0x62:  // ORL/ANL/XRL direct,A
            modifyDirect(m, operands[0], [&](uint8_t v) { return logic(op, v, a); });
            break;
        case 0x43: case 0x53: case 0x63:  // ORL/ANL/XRL direct,#data
            modifyDirect(m, operands[0], [&](uint8_t v) { return logic(op, v, operands[1]); });
            break;
        case 0x72: setCarry(m, carry(m) || readBit(m, operands[0])); break;   // ORL C,bit
        case 0xA0: setCarry(m, carry(m) || !readBit(m, operands[0])); break;  // ORL C,/bit
        case 0x82: setCarry(m, carry(m) && readBit(m, operands[0])); break;   // ANL C,bit
        case 0xB0: setCarry(m, carry(m) && !readBit(m, operands[0])); break;  // ANL C,/bit
        case 0xA2: setCarry(m, readBit(m, operands[0])); break;                   // MOV C,bit
        case 0x92: writeBit(m, operands[0], carry(m)); break;                     // MOV bit,C
        case 0xB2: writeBit(m, operands[0], !readBitLatch(m, operands[0])); break; // CPL bit
        case 0xC2: writeBit(m, operands[0], false); break;                           // CLR bit
        case 0xD2: writeBit(m, operands[0], true); break;                            // SETB bit
        case 0xB3: setCarry(m, !carry(m)); break;
        case 0xC3: setCarry(m, false); break;
        case 0xD3: setCarry(m, true); break;
        case 0x74: a = operands[0]; break;
        case 0x75: writeDirect(m, operands[0], operands[1]); break;
        INDIRECTS(0x76): indirect(m, op) = operands[0]; break;
        REGISTERS(0x78): reg(m, op & 7) = operands[0]; break;
        case 0x85: writeDirect(m, operands[1], readDirect(m, operands[0])); break;
        INDIRECTS(0x86): writeDirect(m, operands[0], indirect(m, op)); break;
        REGISTERS(0x88): writeDirect(m, operands[0], reg(m, op & 7)); break;
        case 0x90:  // MOV DPTR,#data16
            sfrAt(m, regDPH) = operands[0];
            sfrAt(m, regDPL) = operands[1];
            break;
        INDIRECTS(0xA6): indirect(m, op) = readDirect(m, operands[0]); break;
        REGISTERS(0xA8): reg(m, op & 7) = readDirect(m, operands[0]); break;
        case 0xE5: a = readDirect(m, operands[0]); break;
        INDIRECTS(0xE6): a = indirect(m, op); break;
        REGISTERS(0xE8): a = reg(m, op & 7); break;
        case 0xF5: writeDirect(m, operands[0], a); break;
        INDIRECTS(0xF6): indirect(m, op) = a; break;
        REGISTERS(0xF8): reg(m, op & 7) = a; break;
        case 0x83: a = codeByte(m, static_cast<uint16_t>(a + m.pc)); break;    // MOVC A,@A+PC
        case 0x93: a = codeByte(m, static_cast<uint16_t>(a + dptr(m))); break;  // MOVC A,@A+DPTR
        case 0xE0: INDIRECTS(0xE2): a = readExternal(m, movxAddress(m, op)); break;
        case 0xF0: INDIRECTS(0xF2): writeExternal(m, movxAddress(m, op), a); break;
        case 0x84: divide(m); break;
        case 0xA4: multiply(m); break;
        case 0xD4: decimalAdjust(m); break;
        case 0xC4: a = static_cast<uint8_t>(a << 4 | a >> 4); break;  // SWAP A
        case 0xE4: a = 0; break;
        case 0xF4: a = static_cast<uint8_t>(~a); break;
        case 0xB4:
        case 0xB5:
        INDIRECTS(0xB6):
        REGISTERS(0xB8): {  // CJNE
            uint8_t left = op < 0xB6 ? a : op < 0xB8 ? indirect(m, op) : reg(m, op & 7);
            uint8_t right = op == 0xB5 ? readDirect(m, operands[0]) : operands[0];
            setCarry(m, left < right);
            if (left != right) jumpRelative(m, operands[1]);
            break;
        }
        case 0xD5: {  // DJNZ direct
            uint8_t left = static_cast<uint8_t>(readDirectLatch(m, operands[0]) - 1);
            writeDirect(m, operands[0], left);
            if (left) jumpRelative(m, operands[1]);
            break;
        }
        REGISTERS(0xD8): if (--reg(m, op & 7)) jumpRelative(m, operands[0]); break;
        case 0xC0: {  // PUSH: SP moves first, so PUSH SP saves it moved
            uint8_t top = ++stackPointer(m);
            m.chip.iram[top] = readDirect(m, operands[0]);
            break;
        }
        case 0xD0: {  // POP: SP moves before the byte is stored, so POP SP keeps the byte
            uint8_t value = m.chip.iram[stackPointer(m)--];
            writeDirect(m, operands[0], value);
            break;
        }
        case 0xC5: {  // XCH A,direct
            uint8_t other = readDirect(m, operands[0]);
            writeDirect(m, operands[0], a);
            a = other;
            break;
        }
        INDIRECTS(0xC6): std::swap(a, indirect(m, op)); break;
        REGISTERS(0xC8): std::swap(a, reg(m, op & 7)); break;
        INDIRECTS(0xD6): {  // XCHD A,@Ri
            uint8_t &other = indirect(m, op);
            uint8_t low = a & 0x0F;
            a = static_cast<uint8_t>((a & 0xF0) | (other & 0x0F));
            other = static_cast<uint8_t>((other & 0xF0) | low);
            break;
        }
        default: break;
    }
    return true;
}

}  // namespace

uint8_t programStatus(const ChipCore &chip) {
    uint8_t a = chip.sfr[regACC - 0x80];
    a ^= a >> 4;
    a ^= a >> 2;
    a ^= a >> 1;
    return static_cast<uint8_t>((chip.sfr[regPSW - 0x80] & 0xFE) | (a & 1));
}

void callVector(ChipCore &chip, uint16_t vector) {
    Machine m{chip, nullptr, 0, 0, chip.pc, chip.clocks + clockTable.clocks[0x12]};
    pushPc(m);
    chip.pc = vector;
    chip.clocks = m.clocks;
}

void runInstructions(ChipCore &chip, Clocks until) {
    uint32_t size = static_cast<uint32_t>(chip.code.size());
    Machine m{chip, chip.code.data(), size, size >= 2 ? size - 2 : 0, chip.pc, chip.clocks};
    long long executed = 0;
    while (m.clocks < until && m.clocks < chip.nextEvent && execute(m)) ++executed;
    chip.pc = m.pc;
    chip.clocks = m.clocks;
    chip.instructions += executed;
}
