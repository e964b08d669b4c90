// The simulated machine behind systemCalls. Handles are small tokens of its own; a path that
// names no device, and a handle it does not know, go on to the real calls.
#include "sim/sim.h"
#include "storage/system_calls.h"
#include "storage/passthrough/requests.h"
#include <string.h>
#include <algorithm>

SimMachine sim;

enum HandleKind { HandleDisk, HandleVolume, HandleFind };
struct SimHandle {
    HandleKind kind;
    size_t index;  // into disks or volumes, or the find position
    std::wstring path;
    DWORD access;
    bool open;
};
static std::vector<SimHandle> handles;
static const uintptr_t HandleBase = 0x40000000;

static HANDLE NewHandle(HandleKind kind, size_t index, const std::wstring& path, DWORD access)
{
    handles.push_back({kind, index, path, access, true});
    return reinterpret_cast<HANDLE>(HandleBase + 4 * (handles.size() - 1));
}

static SimHandle* FindHandle(HANDLE handle)
{
    size_t slot = (reinterpret_cast<uintptr_t>(handle) - HandleBase) / 4;  // huge below the base
    return slot < handles.size() && handles[slot].open ? &handles[slot] : nullptr;
}

static std::wstring HandlePath(HANDLE handle)
{
    return FindHandle(handle) ? FindHandle(handle)->path : L"";
}

static BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

static HANDLE FailOpen(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Logs the call; true (with the error set) when it is one of the calls to fail.
static bool Injected(const SimCallRecord& record, DWORD error)
{
    sim.calls.push_back(record);
    const SimInjection& f = sim.injection;
    auto same = [&](const SimCallRecord& c) { return c.call == f.call && c.device == f.device; };
    if (!sim.failing && f.count && same(record) &&
        unsigned(std::count_if(sim.calls.begin(), sim.calls.end(), same)) == f.occurrence)
        sim.failing = f.count;
    if (!sim.failing)
        return false;
    if (sim.failing != SimForever)
        --sim.failing;
    SetLastError(error);
    return true;
}

static ULONGLONG Now()
{
    return sim.realSleep ? GetTickCount64() : sim.clock;
}

std::wstring SimVolumeDevicePath(const std::wstring& name)
{
    size_t at = name.find(L"Volume{");
    return at == std::wstring::npos ? L"" : L"\\\\.\\" + name.substr(at, name.find(L'\\', at) - at);
}

static HANDLE WINAPI SimCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::wstring p = path;
    if (p.compare(0, 4, L"\\\\.\\") != 0)  // a file, such as the program's own image
        return CreateFileW(path, access, share, security, disposition, flags, templateFile);
    if (Injected({CallCreateFile, p, access, share}, ERROR_ACCESS_DENIED))
        return INVALID_HANDLE_VALUE;
    for (size_t i = 0; i < sim.disks.size(); ++i)
        if (p == L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(sim.disks[i].number) && Now() < sim.disks[i].goneAt)
            return sim.disks[i].opens ? NewHandle(HandleDisk, i, p, access) : FailOpen(ERROR_ACCESS_DENIED);
    for (size_t i = 0; i < sim.volumes.size(); ++i)
        if (p == SimVolumeDevicePath(sim.volumes[i].name))
            return sim.volumes[i].fault != FaultOpen ? NewHandle(HandleVolume, i, p, access)
                                                     : FailOpen(ERROR_ACCESS_DENIED);
    return FailOpen(ERROR_FILE_NOT_FOUND);
}

static BOOL WINAPI SimCloseHandle(HANDLE handle)
{
    SimHandle* h = FindHandle(handle);
    if (!h && reinterpret_cast<uintptr_t>(handle) < HandleBase)
        return CloseHandle(handle);
    bool injected = Injected({CallCloseHandle, HandlePath(handle)}, ERROR_INVALID_HANDLE);
    if (h)
        h->open = false;  // a close that reports an error has still let the handle go
    return h && !injected ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

// Whether a disk that answers a form so takes STANDBY: this starts its countdown.
static bool Takes(const SimForm& form, bool scsi)
{
    BYTE code = form.value & 0x7F;  // fixed-format error sense: 70h, 71h
    switch (form.answer) {
    case AnswerAccept: return true;
    case AnswerSense: return scsi && code != 0x70 && code != 0x71;
    case AnswerStatus: return scsi ? form.value == SCSISTAT_GOOD : !(form.value & ATA_STATUS_ERR);
    case AnswerCheck: return form.value == SCSI_SENSE_NO_SENSE || form.value == SCSI_SENSE_RECOVERED_ERROR;
    default: return false;
    }
}

// The ATA command that a form carries: the command register, or its byte in the SCSI command.
static BYTE CarriedCommand(SimFormIndex index, const BYTE* record)
{
    static const int commandByte[FormCount] = {0, 11, 9, 0, 14};
    if (index == FormAta || index == FormAtaNoData)
        return reinterpret_cast<const ATA_PASS_THROUGH_EX*>(record)->CurrentTaskFile[TaskFileCommand];
    return reinterpret_cast<const SCSI_PASS_THROUGH*>(record)->Cdb[commandByte[index]];
}

// A SCSI reply: its status, data that comes back too (so that a form judged refused can be
// seen not to copy it back) and the sense data.
static void AnswerScsi(const SimForm& form, BYTE* record, DWORD outLength)
{
    SCSI_PASS_THROUGH* reply = reinterpret_cast<SCSI_PASS_THROUGH*>(record);
    bool check = form.answer == AnswerCheck || form.answer == AnswerCheckNoSense;
    if (form.answer == AnswerStatus || check)
        reply->ScsiStatus = form.answer == AnswerStatus ? form.value : BYTE(SCSISTAT_CHECK_CONDITION);
    if (form.answer != AnswerSense && !check)
        return;
    if (reply->DataTransferLength && outLength > reply->DataBufferOffset)
        memset(record + reply->DataBufferOffset, 0xEE, outLength - reply->DataBufferOffset);
    BYTE* sense = record + reply->SenseInfoOffset;
    if (form.answer == AnswerSense)
        sense[0] = form.value;
    else if (form.answer == AnswerCheck)
        sense[0] = SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT, sense[1] = form.value;
}

static BOOL Answer(SimDisk& disk, SimFormIndex index, BYTE* record, DWORD outLength, DWORD* returned)
{
    const SimForm& form = disk.forms[index];
    const bool scsi = index == FormVendor || index == FormSat || index == FormSat16;
    const DWORD header = scsi ? sizeof(SCSI_PASS_THROUGH) : sizeof(ATA_PASS_THROUGH_EX);
    BYTE command = CarriedCommand(index, record);
    disk.commands.push_back(command);
    if (form.answer == AnswerRefuse)
        return Fail(ERROR_INVALID_FUNCTION);
    // A non-data command brings back its header alone, and its sense area when there is sense.
    bool sense = form.answer == AnswerSense || form.answer == AnswerCheck;
    *returned = index == FormSat16 && !sense ? header : outLength;
    if (form.answer == AnswerShort)  // the data-in form: its header alone; the others: less than it
        *returned = index == FormAta ? header : header - 1;
    if (scsi)
        AnswerScsi(form, record, outLength);
    if (!scsi && form.answer >= AnswerSense) {
        // ATA has no sense data: an error is a status register with ERR set, and no data.
        BYTE status = form.answer == AnswerSense ? 0x51 : form.value;
        reinterpret_cast<ATA_PASS_THROUGH_EX*>(record)->CurrentTaskFile[TaskFileCommand] = status;
        if (status & ATA_STATUS_ERR)
            *returned = header;
    }
    // Only STANDBY spins a disk down; whatever else a form carried, the disk goes on spinning.
    if (Takes(form, scsi) && command == ATA_CMD_STANDBY) {
        disk.spunDown = true;
        if (disk.unplugDelay != SimNever)
            disk.goneAt = Now() + disk.unplugDelay;
    }
    return TRUE;
}

static SimFormIndex FormOf(DWORD code, const BYTE* record)
{
    if (code == IOCTL_ATA_PASS_THROUGH)
        return reinterpret_cast<const ATA_PASS_THROUGH_EX*>(record)->DataTransferLength ? FormAta : FormAtaNoData;
    UCHAR operation = reinterpret_cast<const SCSI_PASS_THROUGH*>(record)->Cdb[0];
    return operation == 0xDF ? FormVendor : operation == 0xA1 ? FormSat : operation == 0x85 ? FormSat16 : FormCount;
}

static BOOL DiskControl(SimDisk& disk, const SimHandle& h, DWORD code, const void* in, DWORD inLength, void* out,
                        DWORD outLength, DWORD* returned)
{
    if (Now() >= disk.goneAt)
        return Fail(disk.goneError);
    if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
        const STORAGE_PROPERTY_QUERY* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
        if (inLength < sizeof *query || query->PropertyId != StorageDeviceProperty ||
            query->QueryType != PropertyStandardQuery)
            return Fail(ERROR_INVALID_PARAMETER);  // this disk answers the device property only
        if (outLength < sizeof(STORAGE_DESCRIPTOR_HEADER))  // no room even for Version and Size
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        *returned = std::min(outLength, DWORD(disk.descriptor.size()));
        memcpy(out, disk.descriptor.data(), *returned);
        return TRUE;
    }
    if (code != IOCTL_ATA_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH)
        return Fail(ERROR_INVALID_FUNCTION);
    if (!(h.access & GENERIC_WRITE))  // pass-through asks for read and write access
        return Fail(ERROR_ACCESS_DENIED);
    SimFormIndex form = FormOf(code, static_cast<BYTE*>(out));
    return form == FormCount ? Fail(ERROR_INVALID_FUNCTION) : Answer(disk, form, static_cast<BYTE*>(out), outLength, returned);
}

static BOOL VolumeControl(SimVolume& volume, const SimHandle& h, DWORD code, void* out, DWORD outLength,
                          DWORD* returned)
{
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (volume.disk == NoDiskNumber)
            return Fail(ERROR_INVALID_FUNCTION);
        if (outLength < sizeof(STORAGE_DEVICE_NUMBER))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        *static_cast<STORAGE_DEVICE_NUMBER*>(out) = {volume.cdrom ? DWORD(FILE_DEVICE_CD_ROM) : DWORD(FILE_DEVICE_DISK),
                                                     volume.disk, 1};
        *returned = sizeof(STORAGE_DEVICE_NUMBER);
        return TRUE;
    }
    if (code == FSCTL_DISMOUNT_VOLUME)
        return !(h.access & GENERIC_WRITE) || volume.fault == FaultDismount ? Fail(ERROR_ACCESS_DENIED) : TRUE;
    if (code != IOCTL_STORAGE_EJECT_MEDIA || volume.fault == FaultEject)
        return Fail(ERROR_INVALID_FUNCTION);
    return volume.ejected = true;
}

static BOOL WINAPI SimDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                      DWORD outLength, LPDWORD returned, LPOVERLAPPED)
{
    SimHandle* h = FindHandle(handle);
    const BYTE* bytes = static_cast<const BYTE*>(in);
    DWORD sent = !bytes ? 0 : in == out && outLength > inLength ? outLength : inLength;
    if (Injected({CallDeviceIoControl, HandlePath(handle), 0, 0, code, inLength, outLength, {bytes, bytes + sent}},
                 ERROR_IO_DEVICE))
        return FALSE;
    if (!h || h->kind == HandleFind)
        return Fail(ERROR_INVALID_HANDLE);
    *returned = 0;
    if (h->kind == HandleDisk)
        return DiskControl(sim.disks[h->index], *h, code, in, inLength, out, outLength, returned);
    return VolumeControl(sim.volumes[h->index], *h, code, out, outLength, returned);
}

static BOOL WINAPI SimFlushFileBuffers(HANDLE handle)
{
    SimHandle* h = FindHandle(handle);
    if (Injected({CallFlushFileBuffers, HandlePath(handle)}, ERROR_WRITE_FAULT))
        return FALSE;
    if (!h || h->kind != HandleVolume)
        return Fail(ERROR_INVALID_HANDLE);
    return sim.volumes[h->index].fault == FaultFlush ? Fail(ERROR_WRITE_FAULT) : TRUE;
}

static BOOL CopyName(const std::wstring& name, LPWSTR buffer, DWORD capacity)
{
    if (name.size() >= capacity)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

static HANDLE WINAPI SimFindFirstVolumeW(LPWSTR name, DWORD capacity)
{
    if (Injected({CallFindFirstVolume}, ERROR_NOT_ENOUGH_MEMORY))
        return INVALID_HANDLE_VALUE;
    if (sim.volumes.empty())
        return FailOpen(ERROR_NO_MORE_FILES);
    return CopyName(sim.volumes[0].name, name, capacity) ? NewHandle(HandleFind, 0, L"FindFirstVolume", 0)
                                                          : INVALID_HANDLE_VALUE;
}

static BOOL WINAPI SimFindNextVolumeW(HANDLE find, LPWSTR name, DWORD capacity)
{
    if (Injected({CallFindNextVolume}, ERROR_NOT_ENOUGH_MEMORY))
        return FALSE;
    SimHandle* h = FindHandle(find);
    if (!h || h->index + 1 >= sim.volumes.size())
        return Fail(h ? ERROR_NO_MORE_FILES : ERROR_INVALID_HANDLE);
    return CopyName(sim.volumes[++h->index].name, name, capacity);
}

static BOOL WINAPI SimFindVolumeClose(HANDLE find)
{
    bool injected = Injected({CallFindVolumeClose}, ERROR_INVALID_HANDLE);
    SimHandle* h = FindHandle(find);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->open = false;
    return !injected;
}

static BOOL WINAPI SimGetVolumePathNamesForVolumeNameW(LPCWSTR name, LPWCH buffer, DWORD capacity, PDWORD length)
{
    if (Injected({CallGetVolumePathNames, name}, ERROR_FILE_NOT_FOUND))
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

// The longest mount point that begins the path, which is first made full against the
// current directory, as the system does; a path under none fails.
static BOOL WINAPI SimGetVolumePathNameW(LPCWSTR path, LPWSTR buffer, DWORD capacity)
{
    if (Injected({CallGetVolumePathName, path}, ERROR_FILE_NOT_FOUND))
        return FALSE;
    WCHAR full[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (!length || length >= MAX_PATH)
        return Fail(ERROR_INVALID_NAME);
    const std::wstring* best = nullptr;
    for (const SimVolume& volume : sim.volumes)
        for (const std::wstring& mount : volume.mounts)
            if (CompareStringOrdinal(full, int(std::min<size_t>(mount.size(), length)), mount.c_str(),
                                     int(mount.size()), TRUE) == CSTR_EQUAL &&
                (!best || mount.size() > best->size()))
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
    systemCalls = {SimCreateFileW, SimDeviceIoControl, SimCloseHandle, SimFlushFileBuffers, SimFindFirstVolumeW,
                   SimFindNextVolumeW, SimFindVolumeClose, SimGetVolumePathNamesForVolumeNameW, SimGetVolumePathNameW,
                   ::GetModuleFileNameW, SimSleep};
}

std::vector<std::wstring> SimOpenHandles()
{
    std::vector<std::wstring> paths;
    for (const SimHandle& h : handles)
        if (h.open)
            paths.push_back(h.path);
    return paths;
}
