// The simulated machine behind systemCalls. Handles are small tokens of its own; a handle it
// does not know goes on to the real CloseHandle.
#include "sim/sim.h"
#include "storage/system_calls.h"
#include "storage/passthrough/requests.h"
#include <stddef.h>
#include <string.h>

SimMachine sim;

enum HandleKind { HandleDisk, HandleVolume, HandleFind };
struct SimHandle {
    HandleKind kind;
    size_t index;  // into disks or volumes, or the find position
    std::wstring path;
    bool open;
};
static std::vector<SimHandle> handles;
static const uintptr_t HandleBase = 0x40000000;

static HANDLE NewHandle(HandleKind kind, size_t index, const std::wstring& path)
{
    handles.push_back({kind, index, path, true});
    return reinterpret_cast<HANDLE>(HandleBase + 4 * (handles.size() - 1));
}

static SimHandle* FindHandle(HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    size_t slot = (value - HandleBase) / 4;
    if (value < HandleBase || slot >= handles.size() || !handles[slot].open)
        return nullptr;
    return &handles[slot];
}

// Counts the call; true (with the error set) when this is the call to fail.
static bool Injected(DWORD error)
{
    ++sim.calls;
    if (sim.failCall == 0 || sim.calls < sim.failCall || (sim.calls > sim.failCall && !sim.failFromThen))
        return false;
    SetLastError(error);
    return true;
}

static BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

ULONGLONG SimNow()
{
    return sim.realSleep ? GetTickCount64() : sim.clock;
}

static bool Gone(const SimDisk& disk)
{
    return SimNow() >= disk.goneAt;
}

static HANDLE WINAPI SimCreateFileW(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    sim.opened.push_back(path);
    if (Injected(ERROR_ACCESS_DENIED))
        return INVALID_HANDLE_VALUE;
    std::wstring p = path;
    const std::wstring diskPrefix = L"\\\\.\\PHYSICALDRIVE";
    for (size_t i = 0; i < sim.disks.size(); ++i) {
        const SimDisk& disk = sim.disks[i];
        if (p != diskPrefix + std::to_wstring(disk.number))
            continue;
        if (Gone(disk))
            break;
        if (!disk.opens)
            return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        return NewHandle(HandleDisk, i, p);
    }
    for (size_t i = 0; i < sim.volumes.size(); ++i) {
        const std::wstring& name = sim.volumes[i].name;
        size_t at = name.find(L"Volume{");
        if (at == std::wstring::npos || p != L"\\\\.\\" + name.substr(at, name.find(L'\\', at) - at))
            continue;
        if (sim.volumes[i].fault == FaultOpen)
            return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        return NewHandle(HandleVolume, i, p);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

static BOOL WINAPI SimCloseHandle(HANDLE handle)
{
    SimHandle* h = FindHandle(handle);
    if (!h && reinterpret_cast<uintptr_t>(handle) < HandleBase)
        return CloseHandle(handle);
    bool injected = Injected(ERROR_INVALID_HANDLE);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->open = false;  // a close that reports an error has still let the handle go
    return !injected;
}

static BOOL Answer(SimDisk& disk, SimFormIndex form, BYTE* record, DWORD outLength, DWORD* returned)
{
    const SimForm& answer = disk.forms[form];
    DWORD header = form == FormAta ? sizeof(ATA_PASS_THROUGH_EX) : sizeof(SCSI_PASS_THROUGH);
    switch (answer.answer) {
    case AnswerRefuse:
        return Fail(ERROR_INVALID_FUNCTION);
    case AnswerShort:
        *returned = form == FormAta ? header : header - 1;
        return TRUE;
    case AnswerSense:
        if (form == FormAta) {
            *returned = header;  // ATA pass-through has no sense area: an error status, short reply
            return TRUE;
        }
        // The reply carries data as well, so that a form judged refused can be seen not to
        // have copied it back.
        if (outLength > sizeof(ScsiRequest))
            memset(record + sizeof(ScsiRequest), 0xEE, outLength - sizeof(ScsiRequest));
        record[offsetof(ScsiRequest, sense)] = answer.sense;
        break;
    case AnswerAccept:
        disk.spunDown = true;
        if (disk.unplugDelay != SimNever)
            disk.goneAt = SimNow() + disk.unplugDelay;
        break;
    }
    *returned = outLength;
    return TRUE;
}

static BOOL DiskControl(SimDisk& disk, DWORD code, void* out, DWORD outLength, DWORD* returned)
{
    if (Gone(disk))
        return Fail(disk.goneError);
    if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
        DWORD size = DWORD(disk.descriptor.size());
        *returned = outLength < size ? outLength : size;
        memcpy(out, disk.descriptor.data(), *returned);
        return TRUE;
    }
    BYTE* record = static_cast<BYTE*>(out);
    if (code == IOCTL_ATA_PASS_THROUGH)
        return Answer(disk, FormAta, record, outLength, returned);
    if (code == IOCTL_SCSI_PASS_THROUGH) {
        UCHAR operation = reinterpret_cast<SCSI_PASS_THROUGH*>(record)->Cdb[0];
        return Answer(disk, operation == 0xDF ? FormVendor : FormSat, record, outLength, returned);
    }
    return Fail(ERROR_INVALID_FUNCTION);
}

static BOOL VolumeControl(SimVolume& volume, DWORD code, void* out, DWORD outLength, DWORD* returned)
{
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (volume.disk == SimNoDisk)
            return Fail(ERROR_INVALID_FUNCTION);
        if (outLength < sizeof(STORAGE_DEVICE_NUMBER))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        STORAGE_DEVICE_NUMBER number = {FILE_DEVICE_DISK, volume.disk, 1};
        memcpy(out, &number, sizeof number);
        *returned = sizeof number;
        return TRUE;
    }
    if (code == FSCTL_DISMOUNT_VOLUME)
        return volume.fault == FaultDismount ? Fail(ERROR_ACCESS_DENIED) : TRUE;
    if (code == IOCTL_STORAGE_EJECT_MEDIA) {
        if (volume.fault == FaultEject)
            return Fail(ERROR_INVALID_FUNCTION);
        volume.ejected = true;
        return TRUE;
    }
    return Fail(ERROR_INVALID_FUNCTION);
}

static BOOL WINAPI SimDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                      DWORD outLength, LPDWORD returned, LPOVERLAPPED)
{
    SimHandle* h = FindHandle(handle);
    const BYTE* bytes = static_cast<const BYTE*>(in);
    DWORD sent = !bytes ? 0 : in == out && outLength > inLength ? outLength : inLength;
    sim.controls.push_back({h ? h->path : L"", code, inLength, outLength,
                            std::vector<BYTE>(bytes, bytes + sent)});
    if (Injected(ERROR_IO_DEVICE))
        return FALSE;
    if (!h || h->kind == HandleFind)
        return Fail(ERROR_INVALID_HANDLE);
    *returned = 0;
    if (h->kind == HandleDisk)
        return DiskControl(sim.disks[h->index], code, out, outLength, returned);
    return VolumeControl(sim.volumes[h->index], code, out, outLength, returned);
}

static BOOL WINAPI SimFlushFileBuffers(HANDLE handle)
{
    if (Injected(ERROR_WRITE_FAULT))
        return FALSE;
    SimHandle* h = FindHandle(handle);
    if (!h || h->kind != HandleVolume)
        return Fail(ERROR_INVALID_HANDLE);
    return sim.volumes[h->index].fault == FaultFlush ? Fail(ERROR_WRITE_FAULT) : TRUE;
}

static BOOL CopyName(const std::wstring& name, LPWSTR buffer, DWORD capacity)
{
    if (name.size() + 1 > capacity)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

static HANDLE WINAPI SimFindFirstVolumeW(LPWSTR name, DWORD capacity)
{
    if (Injected(ERROR_NOT_ENOUGH_MEMORY))
        return INVALID_HANDLE_VALUE;
    if (sim.volumes.empty())
        return SetLastError(ERROR_NO_MORE_FILES), INVALID_HANDLE_VALUE;
    if (!CopyName(sim.volumes[0].name, name, capacity))
        return INVALID_HANDLE_VALUE;
    return NewHandle(HandleFind, 0, L"FindFirstVolume");
}

static BOOL WINAPI SimFindNextVolumeW(HANDLE find, LPWSTR name, DWORD capacity)
{
    if (Injected(ERROR_NOT_ENOUGH_MEMORY))
        return FALSE;
    SimHandle* h = FindHandle(find);
    if (!h || h->kind != HandleFind)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->index + 1 >= sim.volumes.size())
        return Fail(ERROR_NO_MORE_FILES);
    return CopyName(sim.volumes[++h->index].name, name, capacity);
}

static BOOL WINAPI SimFindVolumeClose(HANDLE find)
{
    bool injected = Injected(ERROR_INVALID_HANDLE);
    SimHandle* h = FindHandle(find);
    if (!h || h->kind != HandleFind)
        return Fail(ERROR_INVALID_HANDLE);
    h->open = false;
    return !injected;
}

static BOOL WINAPI SimGetVolumePathNamesForVolumeNameW(LPCWSTR name, LPWCH buffer, DWORD capacity,
                                                       PDWORD length)
{
    if (Injected(ERROR_FILE_NOT_FOUND))
        return FALSE;
    for (const SimVolume& volume : sim.volumes) {
        if (volume.name != name)
            continue;
        std::wstring list;
        for (const std::wstring& mount : volume.mounts)
            list += mount + L'\0';
        *length = DWORD(list.size() + 1);  // with the closing NUL: 1 for a volume without paths
        if (!buffer || capacity < *length)
            return Fail(ERROR_MORE_DATA);
        memcpy(buffer, list.c_str(), *length * sizeof(WCHAR));
        return TRUE;
    }
    return Fail(ERROR_FILE_NOT_FOUND);
}

static bool BeginsWithFolded(const std::wstring& path, const std::wstring& prefix)
{
    if (prefix.size() > path.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        WCHAR a = path[i], b = prefix[i];
        if (a >= L'a' && a <= L'z') a -= L'a' - L'A';
        if (b >= L'a' && b <= L'z') b -= L'a' - L'A';
        if (a != b)
            return false;
    }
    return true;
}

// The longest mount point that begins the path; a path under none fails.
static BOOL WINAPI SimGetVolumePathNameW(LPCWSTR path, LPWSTR buffer, DWORD capacity)
{
    if (Injected(ERROR_FILE_NOT_FOUND))
        return FALSE;
    const std::wstring* best = nullptr;
    for (const SimVolume& volume : sim.volumes)
        for (const std::wstring& mount : volume.mounts)
            if (BeginsWithFolded(path, mount) && (!best || mount.size() > best->size()))
                best = &mount;
    return best ? CopyName(*best, buffer, capacity) : Fail(ERROR_FILE_NOT_FOUND);
}

static void WINAPI SimSleep(DWORD milliseconds)
{
    if (sim.realSleep)
        Sleep(milliseconds);
    else
        sim.clock += milliseconds;
}

void SimInstall()
{
    sim = SimMachine();
    handles.clear();
    systemCalls = {SimCreateFileW, SimDeviceIoControl, SimCloseHandle, SimFlushFileBuffers,
                   SimFindFirstVolumeW, SimFindNextVolumeW, SimFindVolumeClose,
                   SimGetVolumePathNamesForVolumeNameW, SimGetVolumePathNameW, SimSleep};
}

void SimUninstall()
{
    systemCalls = defaultSystemCalls;
}

std::vector<BYTE> SimDescriptor(STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                                const char* revision, const char* serial)
{
    std::vector<BYTE> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR));
    DWORD offsets[4] = {};
    const char* strings[4] = {vendor, product, revision, serial};
    for (int i = 0; i < 4; ++i) {
        if (!strings[i])
            continue;
        offsets[i] = DWORD(bytes.size());
        bytes.insert(bytes.end(), strings[i], strings[i] + strlen(strings[i]) + 1);
    }
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    d->Version = sizeof *d;
    d->Size = DWORD(bytes.size());
    d->VendorIdOffset = offsets[0];
    d->ProductIdOffset = offsets[1];
    d->ProductRevisionOffset = offsets[2];
    d->SerialNumberOffset = offsets[3];
    d->BusType = bus;
    return bytes;
}

SimDisk SimMakeDisk(DWORD number, STORAGE_BUS_TYPE bus, const char* vendor, const char* product,
                    const char* revision, const char* serial)
{
    SimDisk disk = {number, true, SimDescriptor(bus, vendor, product, revision, serial),
                    {{AnswerAccept, 0}, {AnswerAccept, 0}, {AnswerAccept, 0}},
                    SimNever, SimNever, ERROR_DEV_NOT_EXIST, false};
    return disk;
}

std::vector<std::wstring> SimOpenHandles()
{
    std::vector<std::wstring> paths;
    for (const SimHandle& h : handles)
        if (h.open)
            paths.push_back(h.path);
    return paths;
}

size_t SimPassThroughsSent()
{
    size_t count = 0;
    for (const SimControl& c : sim.controls)
        count += c.code == IOCTL_ATA_PASS_THROUGH || c.code == IOCTL_SCSI_PASS_THROUGH;
    return count;
}
