// A simulated machine for tests and the demo: disks and volumes that answer the storage
// layer's system calls, as a scenario describes them. It logs every call, keeps a clock that
// Sleep advances, and fails the calls that a test names.
#pragma once
#include "storage/storage.h"
#include "platform/system_calls.h"
#include <winioctl.h>
#include <string>
#include <vector>

// How a disk answers one form of the spin-down request, and the question in that wrapping.
// AnswerIgnore: GOOD (or the record back whole), nothing carried out. value: the first sense
// byte with status GOOD (AnswerSense), the ATA status register, or on a SCSI form the SCSI
// status (AnswerStatus), the sense key of CHECK CONDITION with descriptor sense (AnswerCheck).
enum SimAnswer { AnswerAccept, AnswerRefuse, AnswerShort, AnswerIgnore, AnswerSense, AnswerStatus, AnswerCheck,
                 AnswerCheckNoSense };
struct SimForm {
    SimAnswer answer;
    BYTE value;
};
enum SimFormIndex { FormAta, FormVendor, FormSat, FormAtaNoData, FormSat16, FormCount };

// How CHECK POWER MODE is answered through a wrapping the disk accepts: with no registers at
// all, with the drive's state, or by a bridge that wakes the drive to answer.
enum SimCheckPower { CheckPowerSilent, CheckPowerTruthful, CheckPowerWaking };
// How its bridge returns the question's registers: the drive's own, or one of the forms in which
// bridges bring no answer back (fixed sense 00h/1Dh with zero information bytes; a descriptor
// with count 00h and the status given; the registers as sent; deferred sense). A bridge of
// another form than the drive's own returns it through every wrapping that does not fail the call.
enum SimAnswers { AnswersTrue, AnswersZeroFixed, AnswersStatus, AnswersEcho, AnswersDeferred };

const ULONGLONG SimNever = ~0ull;

struct SimDisk {
    DWORD number;
    bool opens;
    std::vector<BYTE> descriptor;  // STORAGE_DEVICE_DESCRIPTOR with its strings
    SimForm forms[FormCount];
    ULONGLONG unplugDelay;  // milliseconds from a spin-down it took until it is pulled out
    ULONGLONG goneAt;       // clock at which it stops answering
    DWORD goneError;        // what its queries then fail with
    bool spunDown;          // in standby: it took STANDBY (or started so) and has not spun up since
    std::vector<BYTE> commands;  // the ATA command that each form it received carried, questions too
    SimCheckPower checkPower;
    SimAnswers answers;
    BYTE answersStatus;          // for AnswersStatus
    BYTE lastCommand;            // the last command that reached the drive itself, 0 for none
    std::vector<BYTE> strays;    // commands other than STANDBY, and the question in its three forms
    // Its place in the device tree: its own instance ID, and that of the USB device above it
    // (empty for a disk on another bus); disks that name the same one are bays of one enclosure.
    std::wstring deviceId, usbDevice;
    CONFIGRET ejectAnswer;       // CR_SUCCESS, CR_REMOVE_VETOED, or the failure it answers
    PNP_VETO_TYPE vetoType;      // with CR_REMOVE_VETOED
    bool ejected;                // out of Windows: its USB device is held for eject until unplugged
    bool sentAfterEject;         // opened or sent a command once ejected
};

enum SimVolumeFault { FaultNone, FaultOpen, FaultDismount, FaultFlush, FaultEject, FaultLock };
const int SimNoHandle = -1;
struct SimVolume {
    std::wstring name;                 // as the volume enumeration reports it
    DWORD disk;                        // NoDiskNumber: the number query fails
    std::vector<std::wstring> mounts;  // each with its trailing backslash
    SimVolumeFault fault;
    bool cdrom;                        // answers DeviceType FILE_DEVICE_CD_ROM
    bool openFiles;                    // another program holds files on it while it is mounted
    bool windows;                      // it holds the Windows directory
    std::vector<DWORD> extents;        // the disks of a volume on no single disk, one extent each
    bool dismounted;                   // until a read or write open that nothing refuses mounts it
    int heldBy, lockedBy;              // the handle that dismounted it, that locked it, while open
    bool raw;                          // mounted RAW: nothing to flush, dismounted only when locked
    std::vector<std::wstring> aliases;  // other spellings of its mount points (8.3 short names)
    std::vector<std::wstring> names;    // its other volume GUID names: each opens it
    bool paging;                        // holds a paging file: its lock and dismount are refused
    bool hostsVhd;                      // holds an attached virtual disk's file: its lock is refused
};

enum SimCall {
    CallCreateFile, CallDeviceIoControl, CallCloseHandle, CallFlushFileBuffers, CallFindFirstVolume,
    CallFindNextVolume, CallFindVolumeClose, CallGetVolumePathNames, CallGetVolumePathName,
    CallGetVolumeNameForMountPoint, CallGetWindowsDirectory, CallQueryDosDevice, CallGetStorageDependency,
    CallPlugAndPlay  // SetupDi and CM functions; device: the function's name
};
// One call as the machine received it. device: the path opened, the device of the handle,
// the volume name or the path asked about; empty for the volume enumeration.
struct SimCallRecord {
    SimCall call;
    std::wstring device;
    DWORD access, share;            // CreateFile
    DWORD code, inLength, outLength;  // DeviceIoControl, and the bytes it was sent: the input
    std::vector<BYTE> sent;           // buffer, or the whole record when it is also the output
    bool injected;                    // failed as a test asked
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

// A device notification registered on a handle of the run.
struct SimNotification {
    HANDLE target;
    void* context;
    PCM_NOTIFY_CALLBACK callback;
    bool registered;
};

struct SimMachine {
    std::vector<SimDisk> disks;
    std::vector<SimVolume> volumes;
    bool windows7;                     // CM_Register_Notification is missing
    std::vector<SimNotification> notifications;
    std::vector<SimCallRecord> calls;  // every call but Sleep, in order
    ULONGLONG clock;                   // milliseconds
    bool realSleep;                    // Sleep waits for real and the clock follows
    SimInjection injection;            // count 0: no fault
    unsigned failing;                  // calls still to fail
};

extern SimMachine sim;

// Empties the machine and points systemCalls at it.
void SimInstall();
// The clock, real or the machine's own; and the call log with its injected faults: true, with
// the error set, when the call is one to fail.
ULONGLONG SimNow();
bool SimInjected(const SimCallRecord& record, DWORD error);
// The disk (its index in disks) that a handle of the run opens, itself or one of its volumes;
// -1 for none. Whether any such handle to the disk is open.
int SimDiskOfHandle(HANDLE handle);
bool SimHandleOpenOnDisk(size_t disk);
// The device tree's calls, in the table of system calls.
void SimInstallDeviceTree();
// The path of the disk interface of the disk with that number, as the device tree gives it.
std::wstring SimDiskInterfacePath(DWORD number);
std::vector<std::wstring> SimOpenHandles();  // the device path of every handle still open
// The path that opens a volume of that name ("\\.\Volume{...}"); empty for a name without "Volume{".
std::wstring SimVolumeDevicePath(const std::wstring& name);

// Adds a scenario's disks and volumes to the machine; on a malformed line returns
// "line N: what is wrong", else an empty text. The file's form adds the file's name. A disk
// whose number another disk has takes it over: the one that had it is gone (unplugged).
std::wstring SimAddScenario(const std::wstring& text);
bool SimLoadScenario(const wchar_t* file, std::wstring* error);
