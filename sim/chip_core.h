// The DS89C420 as an 8052 that runs what its loader wrote: the processor
// (instruction_set.cpp), and beside it each peripheral in a file of its own
// (timers, serial port 0, ports, interrupts), all on one clock of crystal
// cycles. Nothing here touches the system: the caller hands it the program,
// bytes on its receive line and grounded pins, runs it for a stretch of
// chip time, and takes what it sent.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

using Clocks = uint64_t;

const double defaultCrystalHz = 11059200;
const uint32_t onChipMovxSize = 1024;

// SFR addresses the core itself works with.
enum SpecialRegister : uint8_t {
    regP0 = 0x80, regSP = 0x81, regDPL = 0x82, regDPH = 0x83, regPCON = 0x87,
    regTCON = 0x88, regTMOD = 0x89, regTL0 = 0x8A, regTL1 = 0x8B, regTH0 = 0x8C, regTH1 = 0x8D,
    regP1 = 0x90, regSCON = 0x98, regSBUF = 0x99, regP2 = 0xA0, regIE = 0xA8, regP3 = 0xB0,
    regIP = 0xB8, regT2CON = 0xC8, regT2MOD = 0xC9, regRCAP2L = 0xCA, regRCAP2H = 0xCB,
    regTL2 = 0xCC, regTH2 = 0xCD, regPSW = 0xD0, regACC = 0xE0, regB = 0xF0,
};

// A byte on a serial line: when its frame ends, at which speed it went.
struct SerialByte {
    Clocks end;
    uint8_t byte;
    double baud;
};

struct Timers {
    Clocks ticksDone = 0;      // machine ticks (crystal / 12) counted so far
    Clocks fastTicksDone = 0;  // timer 2's baud-rate ticks (crystal / 2)
};

struct SerialPort0 {
    uint8_t received = 0;  // what SBUF reads
    // The transmitter: the frame going out (started once there is a baud
    // clock), and a byte written while it went.
    bool sending = false, started = false, tiDue = false;
    uint8_t sendingByte = 0;
    Clocks tiAt = 0, sendEnd = 0;
    bool waiting = false;
    uint8_t waitingByte = 0;
    // The receive line: bytes by when their RI is due, and bytes held
    // until the program turns its receiver on.
    std::deque<SerialByte> line;
    Clocks lineFree = 0;
    std::deque<uint8_t> held;  // bytes that wait for the receiver
    bool shiftReceiving = false;  // mode 0
    Clocks shiftEnd = 0;
    std::vector<SerialByte> sent;  // bytes out, for the caller to take
    long long sentCount = 0, receivedCount = 0, lost = 0;
    double lastBaud = 0;    // the speed the program last sent at
    std::string speedText;  // and how it set that speed
};

struct Ports {
    uint8_t grounded[4] = {};  // pins held low from outside
    uint8_t pins[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    long long changes[32] = {};
};

struct Interrupts {
    bool inService[2] = {};  // low and high priority
    bool holdOne = false;    // the instruction after RETI or a write to IE/IP runs first
};

enum class ChipStop { running, reservedOpcode, offTheEnd };

struct ChipCore {
    uint8_t iram[256] = {};
    uint8_t sfr[128] = {};
    uint8_t xram[onChipMovxSize] = {};
    std::vector<uint8_t> code;  // the program memory, as the loader left it
    uint16_t pc = 0;
    Clocks clocks = 0;
    Clocks nextEvent = 0;  // when the peripherals next need a look
    long long instructions = 0;
    double crystalHz = defaultCrystalHz;
    ChipStop stop = ChipStop::running;
    uint16_t stopAddress = 0;
    Timers timers;
    SerialPort0 serial;
    Ports ports;
    Interrupts interrupts;
    std::vector<std::string> notes;  // parts the program touched that are not simulated
    bool noted[257] = {};
};

// ---- The chip as its users drive it (chip_run.cpp) ----

// Power-on reset with this program memory: registers as the data sheet has
// them, RAM cleared, the program run from address 0.
void resetChip(ChipCore &chip, const std::vector<uint8_t> &program, double crystalHz);
// Runs until the clock reaches the given count, the chip stops, or a frame
// starts on the serial port (when its end is known, for whoever watches it).
void runChip(ChipCore &chip, Clocks until);
double chipSeconds(const ChipCore &chip);
Clocks clocksAt(const ChipCore &chip, double seconds);
// What the chip's stop says, with its address; empty while it runs.
std::string stopReason(const ChipCore &chip);

// ---- The processor (instruction_set.cpp) ----

// Runs instructions until the clock reaches until or the next event, or
// the chip stops.
void runInstructions(ChipCore &chip, Clocks until);
// Vectors to an interrupt as a call would.
void callVector(ChipCore &chip, uint16_t vector);
uint8_t programStatus(const ChipCore &chip);  // PSW, its parity bit from A

// ---- The special function registers (special_registers.cpp) ----

uint8_t readRegister(ChipCore &chip, uint8_t address);
// As read-modify-write instructions read it: a port's latch, not its pins.
uint8_t readRegisterLatch(ChipCore &chip, uint8_t address);
void writeRegister(ChipCore &chip, uint8_t address, uint8_t value);
// Names once, in the chip's notes, a register of a part not simulated.
void noteRegister(ChipCore &chip, uint8_t address, uint8_t written, bool writing);
// Adds a note once: keys 0x80-0xFF are the SFRs, then the others.
const int noteExternalMemory = 256;
void noteOnce(ChipCore &chip, int key, const std::string &text);

// ---- Timers 0, 1 and 2 (timers.cpp) ----

// Counts every timer up to the chip's clock, setting flags on overflow.
void syncTimers(ChipCore &chip);
// A pin that feeds a timer fell (T0, T1, T2) or T2EX fell.
void timerPinFell(ChipCore &chip, int port, int bit);
// The earliest clock at which a timer overflows, as they run now.
Clocks nextTimerEvent(const ChipCore &chip);
// Crystal clocks a serial bit takes with timer 1 (or 2) as the baud-rate
// clock, as it runs now; 0 if it does not run.
double timerBitClocks(const ChipCore &chip, bool timer2);

// ---- Serial port 0 (serial_port0.cpp) ----

void writeSerialBuffer(ChipCore &chip, uint8_t byte);
void syncSerial(ChipCore &chip);
Clocks nextSerialEvent(const ChipCore &chip);
// Bytes from outside on the receive line at that speed, back to back from
// the given clock on, as a wire brings them: one that comes while RI is
// still set, or the receiver off, is lost.
void serialReceive(ChipCore &chip, const uint8_t *bytes, size_t count, double baud, Clocks from);
// Bytes held until the program can take them: each goes on the line, at the
// program's own speed, once the receiver is on and RI clear.
void holdInputForReceiver(ChipCore &chip, const uint8_t *bytes, size_t count);
// The speeds serial port 0 sends and receives at now, in bits a second; 0
// while its timer does not run.
double sendBaud(ChipCore &chip);
double receiveBaud(ChipCore &chip);
// How the program set its speed: "9600 baud: timer 1, TH1=0xFD, SMOD=0, 11.0592 MHz".
std::string describeSerialSpeed(ChipCore &chip);

// ---- Ports 0 to 3 (ports.cpp) ----

// Writes a port's latch; the pins follow, and what they feed hears of it.
void writePortLatch(ChipCore &chip, int port, uint8_t value);
void groundPin(ChipCore &chip, int port, int bit, bool grounded);
uint8_t portPins(const ChipCore &chip, int port);

// ---- Interrupts (interrupts.cpp) ----

// Takes the interrupt due now, if any may be taken; false if none was.
bool takeInterrupt(ChipCore &chip);
void returnFromInterrupt(ChipCore &chip);
// The external interrupt pins (P3.2, P3.3) as they are now.
void sampleExternalInterrupts(ChipCore &chip, uint8_t oldPins, uint8_t newPins);
