// Process-wide debug log, grouped into packages selected by a bit mask (-X).
#pragma once

#include <cstdint>
#include <cstdio>

enum : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010, // listed as DEBUG_Network in the usage text; unused
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    Log() {}
    ~Log() {}

    // Package 0 is always written; any other package only when it shares a bit with the mask.
    // Callers end their formats with "\n"; each line is handed to the stream in one fwrite.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(unsigned bits) { package_bitmask |= bits; }
    static void DeactivatePackage(unsigned bits) { package_bitmask &= ~bits; }

    static uint32_t package_bitmask;
    static FILE* fh;
};
