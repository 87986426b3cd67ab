#include "serial_port_windows.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial_port.h"
#include "system_error.h"
#include "wide_text_windows.h"

// The drivers' read timeouts count in milliseconds.
const long portPauseMicros = 1000;

namespace {

// The loader's rates as this system's speed codes.
const struct {
    int baudRate;
    DWORD code;
} speedCodes[] = {
    {2400, CBR_2400},   {9600, CBR_9600},   {19200, CBR_19200},
    {38400, CBR_38400}, {57600, CBR_57600}, {115200, CBR_115200},
};

HANDLE comPortHandle = INVALID_HANDLE_VALUE;
DWORD lineSpeed = 0;
DCB oldState;
COMMTIMEOUTS oldTimeouts;
DWORD readWaitMillis = MAXDWORD;  // as set on the port; none set yet
// A wait without limit still looks at the port this often, so that one
// unplugged or closed is noticed within a second.
const DWORD lookAtPortMillis = 200;

// Every field the exchanges depend on is set here, whatever the driver's
// defaults: 8N1, binary, no flow control of any kind, no error or null byte
// handling, and DTR and RTS on, as a POSIX open leaves them.
void makeRawLine(DCB &state, DWORD baudRate) {
    state.BaudRate = baudRate;
    state.fBinary = TRUE;
    state.fParity = FALSE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fDsrSensitivity = FALSE;
    state.fTXContinueOnXoff = TRUE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.fAbortOnError = FALSE;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
}

// A read returns at once with what the port holds; when it holds nothing, it
// returns on the first byte to arrive, or after the wait. Writes return once
// the driver has taken every byte.
bool setReadWait(DWORD millis) {
    if (millis == readWaitMillis) return true;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = millis > 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutConstant = millis;
    if (!SetCommTimeouts(comPortHandle, &timeouts)) return false;
    readWaitMillis = millis;
    return true;
}

DWORD speedCodeOf(int baudRate) {
    for (const auto &entry : speedCodes) {
        if (entry.baudRate == baudRate) return entry.code;
    }
    return 0;
}

bool failOnLastError(PortFailure &failure) {
    PortTrouble trouble = isHeldElsewhere(GetLastError()) ? portInUse : portUnusable;
    return portFailed(failure, trouble, lastSystemError());
}

char lostReason[256];

int loseOnLastError() {
    snprintf(lostReason, sizeof lostReason, "%s", lastSystemError());
    return portLost;
}

// A read that brings nothing looks the same on a port that has gone away;
// the driver tells them apart.
bool portIsThere() {
    DWORD errors;
    COMSTAT status;
    return ClearCommError(comPortHandle, &errors, &status);
}

DWORD millisOf(long micros) { return static_cast<DWORD>((micros + 999) / 1000); }

bool isNumberedComPort(const char *name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return false;
    char *end = nullptr;
    long number = strtol(name + 3, &end, 10);
    return *end == '\0' && number <= 256;
}

}  // namespace

void systemPortName(const char *userName, char *name, size_t size) {
    bool prefixed = strncmp(userName, "\\\\.\\", 4) == 0;
    snprintf(name, size, "%s%s", !prefixed && isNumberedComPort(userName) ? "\\\\.\\" : "",
             userName);
}

// Windows refuses a second open of a port that is open.
bool isHeldElsewhere(unsigned long windowsError) {
    return windowsError == ERROR_ACCESS_DENIED || windowsError == ERROR_SHARING_VIOLATION;
}

bool openSerialPort(const char *path, int baudRate, PortFailure &failure) {
    lineSpeed = speedCodeOf(baudRate);
    if (lineSpeed == 0) return portFailed(failure, portUnusable, "speed not supported");
    char name[MAX_PATH];
    wchar_t wideName[MAX_PATH];
    systemPortName(path, name, sizeof name);
    if (!toWide(name, wideName, MAX_PATH)) return failOnLastError(failure);
    // Opened for this process alone, which Windows enforces: a port that
    // another program has open is refused here.
    comPortHandle =
        CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (comPortHandle == INVALID_HANDLE_VALUE) return failOnLastError(failure);
    oldState.DCBlength = sizeof oldState;
    if (!GetCommState(comPortHandle, &oldState) || !GetCommTimeouts(comPortHandle, &oldTimeouts))
        return portFailed(failure, portUnusable, "not a serial port");
    return true;
}

intptr_t serialPortHandle() { return reinterpret_cast<intptr_t>(comPortHandle); }

bool setSerialLine(PortFailure &failure) {
    DCB state = oldState;
    makeRawLine(state, lineSpeed);
    if (!SetCommState(comPortHandle, &state) || !setReadWait(0) ||
        !PurgeComm(comPortHandle, PURGE_RXABORT | PURGE_RXCLEAR))
        return failOnLastError(failure);
    return true;
}

void closeSerialPort() {
    SetCommState(comPortHandle, &oldState);
    SetCommTimeouts(comPortHandle, &oldTimeouts);
    CloseHandle(comPortHandle);
    comPortHandle = INVALID_HANDLE_VALUE;
}

int readPort(unsigned char *space, int count, long waitMicros) {
    if (count == 0) {
        Sleep(millisOf(waitMicros));
        return 0;
    }
    DWORD wait = waitMicros < 0 ? lookAtPortMillis : millisOf(waitMicros);
    for (;;) {
        DWORD got = 0;
        if (!setReadWait(wait) || !ReadFile(comPortHandle, space, count, &got, nullptr))
            return loseOnLastError();
        if (got > 0) return static_cast<int>(got);
        if (!portIsThere()) return loseOnLastError();
        if (waitMicros >= 0) return 0;
    }
}

int writePort(const unsigned char *bytes, int count, long waitMicros) {
    DWORD put = 0;
    if (!WriteFile(comPortHandle, bytes, count, &put, nullptr)) return loseOnLastError();
    if (put == 0) Sleep(millisOf(waitMicros));
    return static_cast<int>(put);
}

const char *lostPortReason() { return lostReason; }

void drainThenWait(long micros) {
    FlushFileBuffers(comPortHandle);
    Sleep(millisOf(micros));
}
