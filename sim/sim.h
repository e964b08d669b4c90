// A simulated machine for tests and the demo: disks and volumes that answer the storage
// layer's system calls. It logs every call and every device control, keeps a clock that
// Sleep advances, and fails the calls that a test names.
#pragma once
#include "storage/storage.h"
#include <winioctl.h>
#include <string>
#include <vector>

// How a disk answers one form of the spin-down request. value: the first sense byte
// (AnswerSense) or the ATA status register (AnswerStatus).
enum SimAnswer { AnswerAccept, AnswerRefuse, AnswerShort, AnswerSense, AnswerStatus };
struct SimForm {
    SimAnswer answer;
    BYTE value;
};
enum SimFormIndex { FormAta, FormVendor, FormSat, FormAtaNoData, FormSat16, FormCount };

const ULONGLONG SimNever = ~0ull;

struct SimDisk {
    DWORD number;
    bool opens;
    std::vector<BYTE> descriptor;  // STORAGE_DEVICE_DESCRIPTOR with its strings
    SimForm forms[FormCount];
    ULONGLONG unplugDelay;  // milliseconds from a spin-down it took until it is pulled out
    ULONGLONG goneAt;       // clock at which it stops answering
    DWORD goneError;        // what its queries then fail with
    bool spunDown;          // it took a spin-down form
};

enum SimVolumeFault { FaultNone, FaultOpen, FaultDismount, FaultFlush, FaultEject };
struct SimVolume {
    std::wstring name;                 // as the volume enumeration reports it
    DWORD disk;                        // NoDiskNumber: the number query fails
    std::vector<std::wstring> mounts;  // each with its trailing backslash
    SimVolumeFault fault;
    bool cdrom;                        // answers DeviceType FILE_DEVICE_CD_ROM
    bool ejected;                      // dismounted, flushed and ejected
};

enum SimCall {
    CallCreateFile, CallDeviceIoControl, CallCloseHandle, CallFlushFileBuffers, CallFindFirstVolume,
    CallFindNextVolume, CallFindVolumeClose, CallGetVolumePathNames, CallGetVolumePathName
};
// One call as the machine received it. device: the path opened, the device of the handle,
// the volume name or the path asked about; empty for the volume enumeration.
struct SimCallRecord {
    SimCall call;
    std::wstring device;
    DWORD access;  // CreateFile only
    DWORD share;
};
// Fails `count` calls in a row (all that follow, for SimForever), the first of them the
// occurrence-th call of `call` on `device` (1 for the first).
struct SimInjection {
    SimCall call;
    std::wstring device;
    unsigned occurrence;
    unsigned count;
};
const unsigned SimForever = ~0u;

struct SimControl {
    std::wstring device;
    DWORD code, inLength, outLength;
    // The bytes sent: the input buffer, or the whole record when it is also the output buffer.
    std::vector<BYTE> sent;
};

struct SimMachine {
    std::vector<SimDisk> disks;
    std::vector<SimVolume> volumes;
    std::vector<SimCallRecord> calls;  // every call but Sleep, in order
    std::vector<SimControl> controls;  // every device control, in order
    ULONGLONG clock;                   // milliseconds
    bool realSleep;                    // Sleep waits for real and the clock follows
    SimInjection injection;            // count 0: no fault
    unsigned failing;                  // calls still to fail
};

extern SimMachine sim;

// Empties the machine and points systemCalls at it.
void SimInstall();

SimDisk SimMakeDisk(DWORD number, STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                    const char* revision, const char* serial);
// A descriptor with the given strings appended after its fixed part (null: offset 0).
std::vector<BYTE> SimDescriptor(STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                                const char* revision, const char* serial);

std::vector<std::wstring> SimOpenHandles();  // the device path of every handle still open
size_t SimPassThroughsSent();                // ATA and SCSI pass-through controls recorded

// Loads a scenario file into the machine; on a malformed line returns false with a message
// naming the file, the line and what is wrong.
bool SimLoadScenario(const wchar_t* file, std::wstring* error);
