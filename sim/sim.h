// A simulated machine for tests and the demo: disks and volumes that answer the storage
// layer's system calls. It records every device control, counts open handles, keeps a clock
// that Sleep advances, and can fail the N-th system call it receives.
#pragma once
#include <windows.h>
#include <winioctl.h>
#include <string>
#include <vector>

enum SimAnswer { AnswerAccept, AnswerRefuse, AnswerShort, AnswerSense };
struct SimForm {
    SimAnswer answer;
    BYTE sense;  // the first sense byte written back, for AnswerSense
};
enum SimFormIndex { FormAta, FormVendor, FormSat, FormCount };

const ULONGLONG SimNever = ~0ull;

struct SimDisk {
    DWORD number;
    bool opens;
    std::vector<BYTE> descriptor;  // STORAGE_DEVICE_DESCRIPTOR with its strings
    SimForm forms[FormCount];
    ULONGLONG unplugDelay;  // milliseconds from an accepted spin-down until it is pulled out
    ULONGLONG goneAt;       // clock at which it stops answering
    DWORD goneError;        // what its queries then fail with
    bool spunDown;          // a spin-down form was accepted
};

enum SimFault { FaultNone, FaultOpen, FaultDismount, FaultFlush, FaultEject };
struct SimVolume {
    std::wstring name;                // as the volume enumeration reports it
    DWORD disk;                       // SimNoDisk: the number query fails
    std::vector<std::wstring> mounts; // each with its trailing backslash
    SimFault fault;
    bool ejected;                     // dismounted, flushed and ejected
};
const DWORD SimNoDisk = 0xFFFFFFFF;

struct SimControl {
    std::wstring device;
    DWORD code, inLength, outLength;
    // The bytes sent: the input buffer, or the whole record when it is also the output buffer.
    std::vector<BYTE> sent;
};

struct SimMachine {
    std::vector<SimDisk> disks;
    std::vector<SimVolume> volumes;
    std::vector<std::wstring> opened;  // every path given to CreateFileW, in order
    std::vector<SimControl> controls;  // every device control, in order
    ULONGLONG clock;                   // milliseconds
    bool realSleep;                    // Sleep waits for real and the clock follows
    unsigned calls;                    // system calls received, Sleep not counted
    unsigned failCall;                 // 1-based number of the call to fail; 0 for none
    bool failFromThen;                 // fail every call from failCall on
};

extern SimMachine sim;

// Empties the machine and points systemCalls at it.
void SimInstall();
// Points systemCalls back at the real functions.
void SimUninstall();

SimDisk SimMakeDisk(DWORD number, STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                    const char* revision, const char* serial);
// A descriptor with the given strings appended after its fixed part (null: offset 0).
std::vector<BYTE> SimDescriptor(STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                                const char* revision, const char* serial);

ULONGLONG SimNow();
std::vector<std::wstring> SimOpenHandles();  // the device path of every handle still open
size_t SimPassThroughsSent();                // ATA and SCSI pass-through controls recorded

// Loads a scenario file into the machine; on a malformed line returns false with a message
// naming the file, the line and what is wrong.
bool SimLoadScenario(const wchar_t* file, std::wstring* error);
