// The simulated machine behind systemCalls. Handles are small tokens of its own; a path that
// names no device, and a handle it does not know, go on to the real calls.
#include "sim/sim.h"
#include "platform/system_calls.h"
#include "storage/passthrough/requests.h"
#include <string.h>
#include <wctype.h>
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
bool SimInjected(const SimCallRecord& record, DWORD error)
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
    sim.calls.back().injected = true;
    SetLastError(error);
    return true;
}

ULONGLONG SimNow()
{
    return sim.realSleep ? GetTickCount64() : sim.clock;
}

std::wstring SimVolumeDevicePath(const std::wstring& name)
{
    size_t at = name.find(L"Volume{");
    return at == std::wstring::npos ? L"" : L"\\\\.\\" + name.substr(at, name.find(L'\\', at) - at);
}

// Whether the volume has that volume GUID name, its first or another.
static bool Named(const SimVolume& volume, const std::wstring& name)
{
    return volume.name == name || std::find(volume.names.begin(), volume.names.end(), name) != volume.names.end();
}

// Whether the device path ("\\.\Volume{...}") opens the volume, under any of its names.
static bool Opens(const SimVolume& volume, const std::wstring& path)
{
    if (path == SimVolumeDevicePath(volume.name))
        return true;
    for (const std::wstring& name : volume.names)
        if (path == SimVolumeDevicePath(name))
            return true;
    return false;
}

// The disk that has the number now: the last one given it.
static SimDisk* DiskNumbered(DWORD number);

// A volume of a disk that has left Windows: it leaves the enumeration, and nothing opens it.
static bool OnEjectedDisk(const SimVolume& volume)
{
    const SimDisk* disk = volume.cdrom ? nullptr : DiskNumbered(volume.disk);
    return disk && disk->ejected;
}

// Every volume GUID name in the enumeration's order: each volume's names one after the other.
static std::vector<std::wstring> EnumeratedNames()
{
    std::vector<std::wstring> names;
    for (const SimVolume& volume : sim.volumes) {
        if (OnEjectedDisk(volume))
            continue;
        names.push_back(volume.name);
        names.insert(names.end(), volume.names.begin(), volume.names.end());
    }
    return names;
}

// The disk that has the number now: the last one given it.
static SimDisk* DiskNumbered(DWORD number)
{
    for (size_t i = sim.disks.size(); i-- > 0;)
        if (sim.disks[i].number == number)
            return &sim.disks[i];
    return nullptr;
}

// Mounted again by an open that asks for data: its disk spins up, and no longer counts as
// spun down, nor goes away as if it had been.
static void Remount(SimVolume& volume)
{
    volume.dismounted = false;
    SimDisk* disk = DiskNumbered(volume.disk);
    if (disk && disk->spunDown)
        disk->spunDown = false, disk->goneAt = SimNever;
}

static bool AsksForData(DWORD access)
{
    return access & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA);
}

// An open without read or write access reaches the volume device: it mounts nothing and a
// lock lets it through. One with data access is refused by a lock, and by the handle that
// dismounted the volume while that stays open; else it mounts a dismounted volume again.
static HANDLE OpenVolume(size_t index, const std::wstring& path, DWORD access)
{
    SimVolume& volume = sim.volumes[index];
    bool data = AsksForData(access);
    if (volume.fault == FaultOpen || (data && (volume.lockedBy != SimNoHandle ||
                                               (volume.dismounted && volume.heldBy != SimNoHandle))))
        return FailOpen(ERROR_ACCESS_DENIED);
    if (data && volume.dismounted)
        Remount(volume);
    return NewHandle(HandleVolume, index, path, access);
}

static HANDLE WINAPI SimCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::wstring p = path;
    bool disks = p.compare(0, 12, L"\\\\?\\simdisk#") == 0;  // a disk interface of the device tree
    if (p.compare(0, 4, L"\\\\.\\") != 0 && !disks)  // a file, such as the program's own image
        return CreateFileW(path, access, share, security, disposition, flags, templateFile);
    if (SimInjected({CallCreateFile, p, access, share}, ERROR_ACCESS_DENIED))
        return INVALID_HANDLE_VALUE;
    for (size_t i = 0; i < sim.disks.size(); ++i) {
        SimDisk& disk = sim.disks[i];
        if ((p != L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(disk.number) && p != SimDiskInterfacePath(disk.number)) ||
            SimNow() >= disk.goneAt)
            continue;
        if (disk.ejected)
            return disk.sentAfterEject = true, FailOpen(ERROR_FILE_NOT_FOUND);
        return disk.opens ? NewHandle(HandleDisk, i, p, access) : FailOpen(ERROR_ACCESS_DENIED);
    }
    for (size_t i = 0; i < sim.volumes.size(); ++i)
        if (Opens(sim.volumes[i], p))
            return OnEjectedDisk(sim.volumes[i]) ? FailOpen(ERROR_FILE_NOT_FOUND) : OpenVolume(i, p, access);
    return FailOpen(ERROR_FILE_NOT_FOUND);
}

static BOOL WINAPI SimCloseHandle(HANDLE handle)
{
    SimHandle* h = FindHandle(handle);
    if (!h && reinterpret_cast<uintptr_t>(handle) < HandleBase)
        return CloseHandle(handle);
    bool injected = SimInjected({CallCloseHandle, HandlePath(handle)}, ERROR_INVALID_HANDLE);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->open = false;  // a close that reports an error has still let the handle go
    int slot = int(h - handles.data());
    for (SimVolume& volume : sim.volumes) {
        volume.lockedBy = volume.lockedBy == slot ? SimNoHandle : volume.lockedBy;
        volume.heldBy = volume.heldBy == slot ? SimNoHandle : volume.heldBy;
    }
    return injected ? Fail(ERROR_INVALID_HANDLE) : TRUE;
}

// Whether a disk that answers a form so carries out what the form holds.
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

// CHECK POWER MODE in one of the three forms that ask it: non-data, through SAT with CK_COND.
static bool IsQuestion(SimFormIndex index, const BYTE* record, BYTE command)
{
    const SCSI_PASS_THROUGH* scsi = reinterpret_cast<const SCSI_PASS_THROUGH*>(record);
    bool sat = (index == FormSat || index == FormSat16) && scsi->Cdb[1] == SatProtocolNonData << 1 &&
               scsi->Cdb[2] == SatCkCond && scsi->DataTransferLength == 0;
    return command == ATA_CMD_CHECK_POWER_MODE && (index == FormAtaNoData || sat);
}

// A SCSI reply: its status, data that comes back too (so that a form judged refused can be
// seen not to copy it back) and the sense data.
static void AnswerScsi(const SimForm& form, BYTE* record, DWORD outLength)
{
    SCSI_PASS_THROUGH* reply = reinterpret_cast<SCSI_PASS_THROUGH*>(record);
    bool check = form.answer == AnswerCheck || form.answer == AnswerCheckNoSense;
    if (form.answer == AnswerStatus || check)
        reply->ScsiStatus = form.answer == AnswerStatus ? form.value : BYTE(SCSISTAT_CHECK_CONDITION);
    if ((form.answer != AnswerSense && !check) || reply->SenseInfoOffset + 2 > outLength)
        return;
    if (reply->DataTransferLength && outLength > reply->DataBufferOffset)
        memset(record + reply->DataBufferOffset, 0xEE, outLength - reply->DataBufferOffset);
    BYTE* sense = record + reply->SenseInfoOffset;
    if (form.answer == AnswerSense)
        sense[0] = form.value;
    else if (form.answer == AnswerCheck)
        sense[0] = SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT, sense[1] = form.value;
}

// In standby after a command, the disk is pulled out when its time comes.
static void StartUnplugCountdown(SimDisk& disk)
{
    if (disk.spunDown && disk.goneAt == SimNever && disk.unplugDelay != SimNever)
        disk.goneAt = SimNow() + disk.unplugDelay;
}

// The registers a question brings back: the drive's power mode with status 50h, or what a
// bridge that carries no answer returns in its stead (echo: the registers as they were sent).
static AtaRegisters QuestionRegisters(SimDisk& disk, const AtaRegisters& sent)
{
    if (disk.checkPower == CheckPowerWaking)
        disk.spunDown = false;
    disk.lastCommand = ATA_CMD_CHECK_POWER_MODE;
    switch (disk.answers) {
    case AnswersZeroFixed: return {0, 0, 0, 0};
    case AnswersStatus: return {0, 0, ATA_DEVICE_HEAD, disk.answersStatus};
    case AnswersEcho: return sent;
    default: return {0, BYTE(disk.spunDown ? ATA_POWER_STANDBY_Z : ATA_POWER_ACTIVE_OR_IDLE), ATA_DEVICE_HEAD, 0x50};
    }
}

// The task file a question carries (error standing for features, status for the command): in
// the ATA record, or in SAT(16)'s or SAT(12)'s command bytes.
static AtaRegisters SentRegisters(SimFormIndex index, const BYTE* record)
{
    if (index == FormAtaNoData) {
        const UCHAR* r = reinterpret_cast<const ATA_PASS_THROUGH_EX*>(record)->CurrentTaskFile;
        return {r[TaskFileFeatures], r[TaskFileSectorCount], r[TaskFileDevice], r[TaskFileCommand]};
    }
    const UCHAR* cdb = reinterpret_cast<const SCSI_PASS_THROUGH*>(record)->Cdb;
    return index == FormSat16 ? AtaRegisters{cdb[4], cdb[6], cdb[13], cdb[14]} : AtaRegisters{cdb[3], cdb[4], cdb[8], cdb[9]};
}

// Through SAT as sense data with CHECK CONDITION (as CK_COND asks): descriptor format, or fixed
// format where the bridge uses it; through ATA pass-through in the record.
static BOOL AnswerQuestion(SimDisk& disk, SimFormIndex index, BYTE* record, DWORD outLength, DWORD* returned)
{
    const AtaRegisters r = QuestionRegisters(disk, SentRegisters(index, record));
    *returned = outLength;
    if (index == FormAtaNoData) {
        UCHAR* registers = reinterpret_cast<ATA_PASS_THROUGH_EX*>(record)->CurrentTaskFile;
        registers[TaskFileFeatures] = r.error, registers[TaskFileSectorCount] = r.count;
        registers[TaskFileCommand] = r.status;
        return TRUE;
    }
    SCSI_PASS_THROUGH* reply = reinterpret_cast<SCSI_PASS_THROUGH*>(record);
    reply->ScsiStatus = SCSISTAT_CHECK_CONDITION;
    const BYTE descriptor[] = {BYTE(disk.answers == AnswersDeferred ? SCSI_SENSE_ERRORCODE_DESCRIPTOR_DEFERRED
                                                                     : SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT),
                               SCSI_SENSE_RECOVERED_ERROR, 0, SCSI_SENSEQ_ATA_PASS_THROUGH_INFORMATION_AVAILABLE, 0, 0,
                               0, 14, SCSI_SENSE_DESCRIPTOR_TYPE_ATA_STATUS_RETURN, 12, 0, r.error, 0, r.count, 0, 0,
                               0, 0, 0, 0, r.device, r.status};
    const BYTE fixed[] = {SCSI_SENSE_ERRORCODE_FIXED_CURRENT, 0, SCSI_SENSE_RECOVERED_ERROR, r.error, r.status,
                          r.device, r.count, 10, 0, 0, 0, 0, SCSI_ADSENSE_NO_SENSE,
                          SCSI_SENSEQ_ATA_PASS_THROUGH_INFORMATION_AVAILABLE, 0, 0, 0, 0};
    bool isFixed = disk.answers == AnswersZeroFixed;
    size_t size = isFixed ? sizeof fixed : sizeof descriptor;
    if (reply->SenseInfoOffset + size <= outLength)
        memcpy(record + reply->SenseInfoOffset, isFixed ? fixed : descriptor, size);
    return TRUE;
}

static BOOL Answer(SimDisk& disk, SimFormIndex index, BYTE* record, DWORD outLength, DWORD* returned)
{
    const SimForm& form = disk.forms[index];
    const bool scsi = index == FormVendor || index == FormSat || index == FormSat16;
    const DWORD header = scsi ? sizeof(SCSI_PASS_THROUGH) : sizeof(ATA_PASS_THROUGH_EX);
    BYTE command = CarriedCommand(index, record);
    bool question = IsQuestion(index, record, command);
    disk.commands.push_back(command);
    if (command != ATA_CMD_STANDBY && !question)
        disk.strays.push_back(command);
    if (form.answer == AnswerRefuse)
        return Fail(ERROR_INVALID_FUNCTION);
    bool answered = form.answer == AnswerAccept || disk.answers != AnswersTrue;
    if (question && answered && disk.checkPower != CheckPowerSilent) {
        BOOL ok = AnswerQuestion(disk, index, record, outLength, returned);
        StartUnplugCountdown(disk);
        return ok;
    }
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
        disk.spunDown = true, disk.lastCommand = command;
        StartUnplugCountdown(disk);
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

// The standard device property: the descriptor, or as much of it as fits.
static BOOL QueryDescriptor(const SimDisk& disk, const void* in, DWORD inLength, void* out, DWORD outLength,
                            DWORD* returned)
{
    const STORAGE_PROPERTY_QUERY* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
    if (inLength < sizeof *query || query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery)
        return Fail(ERROR_INVALID_PARAMETER);  // this disk answers the device property only
    if (outLength < sizeof(STORAGE_DESCRIPTOR_HEADER))  // no room even for Version and Size
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    *returned = std::min(outLength, DWORD(disk.descriptor.size()));
    memcpy(out, disk.descriptor.data(), *returned);
    return TRUE;
}

static BOOL DiskControl(SimDisk& disk, const SimHandle& h, DWORD code, const void* in, DWORD inLength, void* out,
                        DWORD outLength, DWORD* returned)
{
    if (disk.ejected)  // its queries fail as a disk's that Windows has let go of
        return disk.sentAfterEject = true, Fail(ERROR_DEV_NOT_EXIST);
    if (SimNow() >= disk.goneAt)
        return Fail(disk.goneError);
    if (code == IOCTL_STORAGE_QUERY_PROPERTY)
        return QueryDescriptor(disk, in, inLength, out, outLength, returned);
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {  // needs no access
        if (outLength < sizeof(STORAGE_DEVICE_NUMBER))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        *static_cast<STORAGE_DEVICE_NUMBER*>(out) = {FILE_DEVICE_DISK, disk.number, 0};
        *returned = sizeof(STORAGE_DEVICE_NUMBER);
        return TRUE;
    }
    if (code != IOCTL_ATA_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH)
        return Fail(ERROR_INVALID_FUNCTION);
    if (!(h.access & GENERIC_WRITE))  // pass-through asks for read and write access
        return Fail(ERROR_ACCESS_DENIED);
    SimFormIndex form = FormOf(code, static_cast<BYTE*>(out));
    return form == FormCount ? Fail(ERROR_INVALID_FUNCTION) : Answer(disk, form, static_cast<BYTE*>(out), outLength, returned);
}

static BOOL AnswerExtents(const SimVolume& volume, void* out, DWORD outLength, DWORD* returned)
{
    std::vector<DWORD> disks = volume.extents;
    if (disks.empty() && volume.disk != NoDiskNumber && !volume.cdrom)
        disks.push_back(volume.disk);
    if (disks.empty())
        return Fail(ERROR_INVALID_FUNCTION);
    VOLUME_DISK_EXTENTS* list = static_cast<VOLUME_DISK_EXTENTS*>(out);
    DWORD needed = offsetof(VOLUME_DISK_EXTENTS, Extents) + disks.size() * sizeof(DISK_EXTENT);
    if (outLength < sizeof *list)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    list->NumberOfDiskExtents = DWORD(disks.size());
    if (outLength < needed)  // the count alone, as Windows answers a buffer too small
        return Fail(ERROR_MORE_DATA);
    for (size_t i = 0; i < disks.size(); ++i)
        list->Extents[i] = {disks[i], {{0, 0}}, {{0x100000, 0}}};
    *returned = needed;
    return TRUE;
}

// Another open of the volume with data access, as its file system counts them.
static bool OpenedForDataElsewhere(const SimVolume& volume, int slot)
{
    for (size_t i = 0; i < handles.size(); ++i)
        if (handles[i].open && int(i) != slot && handles[i].kind == HandleVolume &&
            &sim.volumes[handles[i].index] == &volume && AsksForData(handles[i].access))
            return true;
    return false;
}

// A volume's answers: where it lies, its disk's descriptor, and the controls of the dismount,
// which need a handle with read and write access.
static BOOL VolumeControl(SimVolume& volume, const SimHandle& h, DWORD code, const void* in, DWORD inLength, void* out,
                          DWORD outLength, DWORD* returned)
{
    SimDisk* disk = volume.cdrom || !volume.extents.empty() ? nullptr : DiskNumbered(volume.disk);
    const int slot = int(&h - handles.data());
    bool writable = h.access & GENERIC_WRITE;
    switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        if (volume.disk == NoDiskNumber)
            return Fail(ERROR_INVALID_FUNCTION);
        if (outLength < sizeof(STORAGE_DEVICE_NUMBER))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        *static_cast<STORAGE_DEVICE_NUMBER*>(out) = {volume.cdrom ? DWORD(FILE_DEVICE_CD_ROM) : DWORD(FILE_DEVICE_DISK),
                                                     volume.disk, 1};
        *returned = sizeof(STORAGE_DEVICE_NUMBER);
        return TRUE;
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: return AnswerExtents(volume, out, outLength, returned);
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return disk ? QueryDescriptor(*disk, in, inLength, out, outLength, returned) : Fail(ERROR_INVALID_FUNCTION);
    case FSCTL_LOCK_VOLUME:
        // Refused while anything else holds it: a lock, open files (cut off by a dismount, they
        // stay open in their programs), or while it is mounted another open with data access.
        if (!writable || volume.fault == FaultLock || volume.lockedBy != SimNoHandle || volume.openFiles ||
            volume.paging || volume.hostsVhd || (!volume.dismounted && OpenedForDataElsewhere(volume, slot)))
            return Fail(ERROR_ACCESS_DENIED);
        volume.lockedBy = slot;
        return TRUE;
    case FSCTL_UNLOCK_VOLUME:
        if (volume.lockedBy != slot)
            return Fail(ERROR_NOT_LOCKED);
        volume.lockedBy = SimNoHandle;
        return TRUE;
    case FSCTL_DISMOUNT_VOLUME:  // RAW dismounts a volume only while this handle holds its lock
        if (!writable || volume.fault == FaultDismount || volume.paging || (volume.raw && volume.lockedBy != slot))
            return Fail(ERROR_ACCESS_DENIED);
        volume.dismounted = true, volume.heldBy = slot;
        return TRUE;
    case IOCTL_STORAGE_EJECT_MEDIA:
        if (volume.fault == FaultEject || !disk || !reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(
                                                       disk->descriptor.data())->RemovableMedia)
            return Fail(ERROR_INVALID_FUNCTION);  // a fixed disk refuses LoEj
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
    if (SimInjected({CallDeviceIoControl, HandlePath(handle), 0, 0, code, inLength, outLength, {bytes, bytes + sent}},
                 ERROR_IO_DEVICE))
        return FALSE;
    if (!h || h->kind == HandleFind)
        return Fail(ERROR_INVALID_HANDLE);
    *returned = 0;
    if (h->kind == HandleDisk)
        return DiskControl(sim.disks[h->index], *h, code, in, inLength, out, outLength, returned);
    return VolumeControl(sim.volumes[h->index], *h, code, in, inLength, out, outLength, returned);
}

static BOOL WINAPI SimFlushFileBuffers(HANDLE handle)
{
    SimHandle* h = FindHandle(handle);
    if (SimInjected({CallFlushFileBuffers, HandlePath(handle)}, ERROR_WRITE_FAULT))
        return FALSE;
    if (!h || h->kind != HandleVolume)
        return Fail(ERROR_INVALID_HANDLE);
    const SimVolume& volume = sim.volumes[h->index];
    if (!(h->access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (volume.raw)  // no file system, nothing cached
        return Fail(ERROR_INVALID_FUNCTION);
    if (volume.dismounted)  // FAT marks a volume bad as it dismounts it
        return Fail(ERROR_FILE_INVALID);
    return volume.fault == FaultFlush ? Fail(ERROR_WRITE_FAULT) : TRUE;
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
    if (SimInjected({CallFindFirstVolume}, ERROR_NOT_ENOUGH_MEMORY))
        return INVALID_HANDLE_VALUE;
    const std::vector<std::wstring> names = EnumeratedNames();
    if (names.empty())
        return FailOpen(ERROR_NO_MORE_FILES);
    return CopyName(names[0], name, capacity) ? NewHandle(HandleFind, 0, L"FindFirstVolume", 0) : INVALID_HANDLE_VALUE;
}

static BOOL WINAPI SimFindNextVolumeW(HANDLE find, LPWSTR name, DWORD capacity)
{
    if (SimInjected({CallFindNextVolume}, ERROR_NOT_ENOUGH_MEMORY))
        return FALSE;
    SimHandle* h = FindHandle(find);
    const std::vector<std::wstring> names = EnumeratedNames();
    if (!h || h->index + 1 >= names.size())
        return Fail(h ? ERROR_NO_MORE_FILES : ERROR_INVALID_HANDLE);
    return CopyName(names[++h->index], name, capacity);
}

static BOOL WINAPI SimFindVolumeClose(HANDLE find)
{
    bool injected = SimInjected({CallFindVolumeClose}, ERROR_INVALID_HANDLE);
    SimHandle* h = FindHandle(find);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->open = false;
    return !injected;
}

static BOOL WINAPI SimGetVolumePathNamesForVolumeNameW(LPCWSTR name, LPWCH buffer, DWORD capacity, PDWORD length)
{
    if (SimInjected({CallGetVolumePathNames, name}, ERROR_FILE_NOT_FOUND))
        return FALSE;
    for (const SimVolume& volume : sim.volumes) {
        if (!Named(volume, name))
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

// The volume that holds the Windows directory: the one marked so, else the one mounted at C:\.
static const SimVolume* WindowsVolume()
{
    for (const SimVolume& volume : sim.volumes)
        if (volume.windows)
            return &volume;
    for (const SimVolume& volume : sim.volumes)
        if (std::find(volume.mounts.begin(), volume.mounts.end(), L"C:\\") != volume.mounts.end())
            return &volume;
    return nullptr;
}

// Every spelling of a mount point of the volume, and its own name; a drive letter also
// behind the prefix "\\?\".
static std::vector<std::wstring> Spellings(const SimVolume& volume)
{
    std::vector<std::wstring> spellings = {volume.name};
    for (const std::vector<std::wstring>* paths : {&volume.mounts, &volume.aliases})
        for (const std::wstring& path : *paths)
            spellings.insert(spellings.end(), {path, L"\\\\?\\" + path});
    return spellings;
}

static bool SameFolding(const WCHAR* a, const std::wstring& b, int length)
{
    return CompareStringOrdinal(a, length, b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// The longest spelling of a mount point (or volume name) that begins the path, made full
// against the current directory as the system does, given back as the caller spelt it but
// for a drive letter, which comes back in capitals ("e:\\x" gives "E:\\", as Wine answers). A
// mounted folder is its own mount point. For a path under none (a device path, a name such as
// CON) Windows answers with the boot volume; without one, the call fails.
static BOOL WINAPI SimGetVolumePathNameW(LPCWSTR path, LPWSTR buffer, DWORD capacity)
{
    if (SimInjected({CallGetVolumePathName, path}, ERROR_FILE_NOT_FOUND))
        return FALSE;
    WCHAR full[MAX_PATH + 1];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (!length || length >= MAX_PATH)
        return Fail(ERROR_INVALID_NAME);
    lstrcpyW(full + length++, L"\\");  // a mounted folder named without its backslash is its root
    std::wstring best;
    for (const SimVolume& volume : sim.volumes)
        for (const std::wstring& spelling : Spellings(volume))
            if (spelling.size() <= length && spelling.size() > best.size() && SameFolding(full, spelling, int(spelling.size())))
                best = spelling;
    const SimVolume* windows = WindowsVolume();
    if (best.empty() && windows)
        return CopyName(windows->mounts.empty() ? windows->name : windows->mounts[0], buffer, capacity);
    if (best.size() == 3 && best[1] == L':')
        best[0] = towupper(best[0]);
    else
        best.assign(full, best.size());
    return !best.empty() ? CopyName(best, buffer, capacity) : Fail(ERROR_FILE_NOT_FOUND);
}

// The device that a volume name stands for, the same under each of its names.
static DWORD WINAPI SimQueryDosDeviceW(LPCWSTR name, LPWSTR target, DWORD capacity)
{
    if (SimInjected({CallQueryDosDevice, name}, ERROR_FILE_NOT_FOUND))
        return 0;
    for (size_t i = 0; i < sim.volumes.size(); ++i)
        if (Opens(sim.volumes[i], L"\\\\.\\" + std::wstring(name))) {
            std::wstring device = L"\\Device\\HarddiskVolume" + std::to_wstring(i + 1) + L'\0';
            if (device.size() + 1 > capacity)
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            memcpy(target, device.c_str(), (device.size() + 1) * sizeof(WCHAR));
            return DWORD(device.size() + 1);
        }
    return Fail(ERROR_FILE_NOT_FOUND);
}

// The virtual disks a volume hosts: one (a VHDX) on a volume marked so, else none.
static DWORD WINAPI SimGetStorageDependencyInformation(HANDLE object, GET_STORAGE_DEPENDENCY_FLAG flags, ULONG size,
                                                       PSTORAGE_DEPENDENCY_INFO information, PULONG used)
{
    SimHandle* h = FindHandle(object);
    if (SimInjected({CallGetStorageDependency, HandlePath(object)}, ERROR_IO_DEVICE))
        return ERROR_IO_DEVICE;
    if (!h || h->kind != HandleVolume || flags != GET_STORAGE_DEPENDENCY_FLAG_NONE)
        return ERROR_INVALID_PARAMETER;
    if (size < offsetof(STORAGE_DEPENDENCY_INFO, Version1Entries) ||
        information->Version != STORAGE_DEPENDENCY_INFO_VERSION_1)
        return ERROR_INVALID_PARAMETER;
    ULONG count = sim.volumes[h->index].hostsVhd ? 1 : 0;
    *used = ULONG(offsetof(STORAGE_DEPENDENCY_INFO, Version1Entries) + count * sizeof(STORAGE_DEPENDENCY_INFO_TYPE_1));
    if (size < *used)
        return ERROR_INSUFFICIENT_BUFFER;
    information->NumberEntries = count;
    if (count) {
        STORAGE_DEPENDENCY_INFO_TYPE_1& disk = information->Version1Entries[0];
        disk = {};
        disk.DependencyTypeFlags = DEPENDENT_DISK_FLAG_FULLY_ALLOCATED;
        disk.VirtualStorageType.DeviceId = VIRTUAL_STORAGE_TYPE_DEVICE_VHD;
    }
    return ERROR_SUCCESS;
}

static BOOL WINAPI SimGetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR buffer, DWORD capacity)
{
    if (SimInjected({CallGetVolumeNameForMountPoint, mountPoint}, ERROR_FILE_NOT_FOUND))
        return FALSE;
    for (const SimVolume& volume : sim.volumes)
        for (const std::wstring& spelling : Spellings(volume))
            if (SameFolding(mountPoint, spelling, -1))
                return CopyName(volume.name, buffer, capacity);
    return Fail(ERROR_INVALID_PARAMETER);
}

// The Windows directory on the volume that holds it (named by its first mount point, or by
// its own name); on none of the machine's volumes, a volume name that none of them has.
static UINT WINAPI SimGetWindowsDirectoryW(LPWSTR buffer, UINT capacity)
{
    if (SimInjected({CallGetWindowsDirectory}, ERROR_NOT_ENOUGH_MEMORY))
        return 0;
    const SimVolume* windows = WindowsVolume();
    std::wstring directory = (!windows ? L"\\\\?\\Volume{00000000-0000-0000-0000-00000000000w}\\"
                              : windows->mounts.empty() ? windows->name : windows->mounts[0]) + L"Windows";
    if (directory.size() >= capacity)
        return UINT(directory.size() + 1);
    CopyName(directory, buffer, capacity);
    return UINT(directory.size());
}

// A file's path, as long as the disk of the volume whose mount point begins it is there.
static DWORD WINAPI SimGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags)
{
    DWORD length = GetFinalPathNameByHandleW(file, path, capacity, flags);
    if (length == 0 || length >= capacity)
        return length;
    const WCHAR* dosPath = wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
    for (const SimVolume& volume : sim.volumes) {
        const SimDisk* disk = DiskNumbered(volume.disk);
        if (!disk || SimNow() < disk->goneAt)
            continue;
        for (const std::wstring& mount : volume.mounts)
            if (wcslen(dosPath) >= mount.size() && SameFolding(dosPath, mount, int(mount.size())))
                return Fail(ERROR_PATH_NOT_FOUND);
    }
    return length;
}

static void WINAPI SimSleep(DWORD milliseconds)
{
    if (sim.realSleep)
        Sleep(milliseconds);
    else
        sim.clock += milliseconds;
}

// The machine's own clock runs at the pace of its timers: each fires as soon as the system's
// timers allow, and moves the clock on by the time it was set for.
struct SimTimer {
    HWND window;
    UINT_PTR id;
    UINT elapse;
};
static std::vector<SimTimer> timers;

static void CALLBACK SimTimerFired(HWND window, UINT, UINT_PTR id, DWORD)
{
    for (const SimTimer& timer : timers)
        if (timer.window == window && timer.id == id) {
            sim.clock += timer.elapse;
            break;
        }
    SendMessageW(window, WM_TIMER, id, 0);
}

static UINT_PTR WINAPI SimSetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure)
{
    if (sim.realSleep || procedure || !window)
        return SetTimer(window, id, elapse, procedure);
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const SimTimer& t) { return t.window == window && t.id == id; }),
                 timers.end());
    timers.push_back({window, id, elapse});
    return SetTimer(window, id, USER_TIMER_MINIMUM, SimTimerFired);
}

int SimDiskOfHandle(HANDLE handle)
{
    const SimHandle* h = FindHandle(handle);
    if (!h || h->kind == HandleFind)
        return -1;
    if (h->kind == HandleDisk)
        return int(h->index);
    const SimVolume& volume = sim.volumes[h->index];
    const SimDisk* disk = volume.cdrom ? nullptr : DiskNumbered(volume.disk);
    return disk ? int(disk - sim.disks.data()) : -1;
}

bool SimHandleOpenOnDisk(size_t disk)
{
    for (size_t slot = 0; slot < handles.size(); ++slot)
        if (handles[slot].open && SimDiskOfHandle(reinterpret_cast<HANDLE>(HandleBase + 4 * slot)) == int(disk))
            return true;
    return false;
}

void SimInstall()
{
    sim = SimMachine();
    handles.clear();
    timers.clear();
    systemCalls = {SimCreateFileW, SimDeviceIoControl, SimCloseHandle, SimFlushFileBuffers, SimFindFirstVolumeW,
                   SimFindNextVolumeW, SimFindVolumeClose, SimGetVolumePathNamesForVolumeNameW, SimGetVolumePathNameW,
                   SimGetVolumeNameForVolumeMountPointW, SimQueryDosDeviceW, SimGetStorageDependencyInformation,
                   SimGetWindowsDirectoryW, ::GetModuleFileNameW,
                   SimGetFinalPathNameByHandleW, SimSleep, SimSetTimer, ::Shell_NotifyIconW};
    SimInstallDeviceTree();
}

std::vector<std::wstring> SimOpenHandles()
{
    std::vector<std::wstring> paths;
    for (const SimHandle& h : handles)
        if (h.open)
            paths.push_back(h.path);
    return paths;
}
