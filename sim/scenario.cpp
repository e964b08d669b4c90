// Reads a scenario into the simulated machine: one disk or volume per line, "#" starts a
// comment, values with spaces in double quotes (no escapes).
#include "sim/sim.h"
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <map>

typedef std::map<std::wstring, std::wstring> Settings;

static bool Number(const std::wstring& text, unsigned long* value, int base = 10)
{
    WCHAR* end = nullptr;
    *value = wcstoul(text.c_str(), &end, base);
    return !text.empty() && *end == 0;
}

static std::vector<std::wstring> Split(const std::wstring& line)
{
    std::vector<std::wstring> words;
    std::wstring word;
    bool quoted = false, inWord = false;
    for (WCHAR c : line + L' ') {
        if (c == L'"')
            quoted = !quoted, inWord = true;
        else if (!quoted && c == L'#')
            break;
        else if (quoted || (c != L' ' && c != L'\t' && c != L'\r'))
            word += c, inWord = true;
        else if (inWord)
            words.push_back(word), word.clear(), inWord = false;
    }
    if (inWord)
        words.push_back(word);
    return words;
}

// The fixed part of the descriptor, then each string the line gives, with its NUL.
static std::vector<BYTE> Descriptor(STORAGE_BUS_TYPE bus, const Settings& s, bool removable)
{
    static const wchar_t* const keys[4] = {L"vendor", L"product", L"revision", L"serial"};
    std::vector<BYTE> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR));
    DWORD offsets[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!s.count(keys[i]))
            continue;
        offsets[i] = DWORD(bytes.size());
        for (WCHAR c : s.at(keys[i]))
            bytes.push_back(BYTE(c));
        bytes.push_back(0);
    }
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    d->Version = sizeof *d;
    d->Size = DWORD(bytes.size());
    d->VendorIdOffset = offsets[0];
    d->ProductIdOffset = offsets[1];
    d->ProductRevisionOffset = offsets[2];
    d->SerialNumberOffset = offsets[3];
    d->BusType = bus;
    d->RemovableMedia = removable;
    return bytes;
}

// accept, refuse, short, ignore, sense:XX; on the ATA forms status:XX; on the SCSI forms
// check:KK and check:none (XX and KK in hexadecimal).
static bool ParseForm(const std::wstring& text, bool ata, SimForm* form)
{
    unsigned long value = 0;
    size_t colon = text.find(L':');
    std::wstring kind = text.substr(0, colon);
    bool hex = colon != std::wstring::npos && Number(text.substr(colon + 1), &value, 16) && value < 256;
    static const struct { const wchar_t* name; SimAnswer answer; } plain[] = {
        {L"accept", AnswerAccept}, {L"refuse", AnswerRefuse}, {L"short", AnswerShort}, {L"ignore", AnswerIgnore}};
    for (auto p : plain)
        if (text == p.name) {
            *form = {p.answer, 0};
            return true;
        }
    if (text == L"check:none" && !ata)
        *form = {AnswerCheckNoSense, 0};
    else if (hex && (kind == L"sense" || (kind == L"status" && ata) || (kind == L"check" && !ata && value < 16)))
        *form = {kind == L"sense" ? AnswerSense : kind == L"status" ? AnswerStatus : AnswerCheck, BYTE(value)};
    else
        return false;
    return true;
}

// "yes" for a flag that is set; false (the default) when the key is absent.
static bool Flag(const Settings& s, const wchar_t* key, std::wstring* problem)
{
    if (s.count(key) && s.at(key) != L"yes")
        *problem = std::wstring(key) + L" must be yes";
    return s.count(key) != 0;
}

// How the disk answers each spin-down form, where its line says.
static std::wstring ParseForms(const Settings& s, SimDisk* disk)
{
    static const wchar_t* const keys[FormCount] = {L"ata", L"vendor-form", L"sat", L"ata-nodata", L"sat16"};
    for (int i = 0; i < FormCount; ++i) {
        bool ata = i == FormAta || i == FormAtaNoData;
        if (s.count(keys[i]) && !ParseForm(s.at(keys[i]), ata, &disk->forms[i]))
            return std::wstring(keys[i]) + L" must be accept, refuse, short, ignore, sense:XX" +
                   (ata ? L" or status:XX" : L", check:KK or check:none");
    }
    return L"";
}

// How the question is answered: with the drive's state (active, the default, or in standby from
// the start), with no registers (none), or by a bridge that wakes the drive to answer (wake).
static bool ParseCheckPower(const Settings& s, SimDisk* disk)
{
    static const struct { const wchar_t* name; SimCheckPower answer; bool standby; } powers[] = {
        {L"active", CheckPowerTruthful, false}, {L"standby", CheckPowerTruthful, true},
        {L"none", CheckPowerSilent, false}, {L"wake", CheckPowerWaking, false}};
    disk->checkPower = CheckPowerTruthful;
    bool known = !s.count(L"check-power");
    for (auto p : powers)
        if (s.count(L"check-power") && s.at(L"check-power") == p.name)
            disk->checkPower = p.answer, disk->spunDown = p.standby, known = true;
    return known;
}

// How the bridge returns the question's registers: true (the drive's own, the default),
// zero-fixed, status:XX, echo or deferred.
static bool ParseAnswers(const Settings& s, SimDisk* disk)
{
    static const struct { const wchar_t* name; SimAnswers answers; } forms[] = {
        {L"true", AnswersTrue}, {L"zero-fixed", AnswersZeroFixed}, {L"echo", AnswersEcho}, {L"deferred", AnswersDeferred}};
    const std::wstring answers = s.count(L"answers") ? s.at(L"answers") : L"true";
    unsigned long status = 0;
    disk->answers = AnswersStatus;
    bool known = answers.compare(0, 7, L"status:") == 0 && Number(answers.substr(7), &status, 16) && status < 256;
    disk->answersStatus = BYTE(status);
    for (auto f : forms)
        if (answers == f.name)
            disk->answers = f.answers, known = true;
    return known;
}

// The disk's place in the device tree: its instance ID from its strings, the USB device above
// a USB disk (one of its own unless usb-device= names one), and what that device's eject
// answers: accept (the default), veto:N (PNP_VETO_TYPE N) or fail:N (CONFIGRET N).
static bool PlaceInTree(const Settings& s, bool usb, SimDisk* disk)
{
    auto text = [&](const wchar_t* key) {
        std::wstring value = s.count(key) ? s.at(key) : L"";
        std::replace(value.begin(), value.end(), L' ', L'_');
        return value;
    };
    std::wstring serial = s.count(L"serial") ? text(L"serial") : std::to_wstring(disk->number);
    disk->deviceId = std::wstring(usb ? L"USBSTOR" : L"SCSI") + L"\\DISK&VEN_" + text(L"vendor") + L"&PROD_" +
                     text(L"product") + L"&REV_" + text(L"revision") + L"\\" + serial + L"&0";
    disk->usbDevice = !usb ? L"" : s.count(L"usb-device") ? s.at(L"usb-device") : L"USB\\VID_0000&PID_0000\\" + serial;
    std::wstring eject = s.count(L"eject") ? s.at(L"eject") : L"accept";
    unsigned long value = 0;
    size_t colon = eject.find(L':');
    bool numbered = colon != std::wstring::npos && Number(eject.substr(colon + 1), &value);
    disk->ejectAnswer = CR_SUCCESS;
    if (numbered && eject.compare(0, colon, L"veto") == 0)
        disk->ejectAnswer = CR_REMOVE_VETOED, disk->vetoType = PNP_VETO_TYPE(value);
    else if (numbered && eject.compare(0, colon, L"fail") == 0 && value != CR_SUCCESS && value != CR_REMOVE_VETOED)
        disk->ejectAnswer = CONFIGRET(value);
    else if (eject != L"accept")
        return false;
    return true;
}

// A disk takes the first form and refuses the two added for stricter bridges unless its
// line says otherwise; it is a fixed disk unless removable=yes.
static std::wstring ParseDisk(const std::wstring& numberText, const Settings& s)
{
    static const struct { const wchar_t* name; STORAGE_BUS_TYPE bus; } buses[] = {
        {L"usb", BusTypeUsb}, {L"sata", BusTypeSata}, {L"scsi", BusTypeScsi}, {L"nvme", BusTypeNvme}};
    unsigned long number = 0, value = BusTypeUsb;
    if (!Number(numberText, &number))
        return L"disk number expected";
    bool known = !s.count(L"bus") || Number(s.at(L"bus"), &value);
    for (auto b : buses)
        if (s.count(L"bus") && s.at(L"bus") == b.name)
            value = b.bus, known = true;
    if (!known)
        return L"bus must be usb, sata, scsi, nvme or a number";
    std::wstring flagProblem;
    bool removable = Flag(s, L"removable", &flagProblem);
    if (!flagProblem.empty())
        return flagProblem;
    SimDisk disk = {DWORD(number), !s.count(L"open"), Descriptor(STORAGE_BUS_TYPE(value), s, removable),
                    {{AnswerAccept}, {AnswerAccept}, {AnswerAccept}, {AnswerRefuse}, {AnswerRefuse}},
                    SimNever, SimNever, ERROR_DEV_NOT_EXIST, false};
    std::wstring problem = ParseForms(s, &disk);
    if (!problem.empty())
        return problem;
    if (s.count(L"open") && s.at(L"open") != L"fail")
        return L"open must be fail";
    if (!ParseCheckPower(s, &disk))
        return L"check-power must be active, standby, none or wake";
    if (!ParseAnswers(s, &disk))
        return L"answers must be true, zero-fixed, status:XX, echo or deferred";
    if (!PlaceInTree(s, value == BusTypeUsb, &disk))
        return L"eject must be accept, veto:N or fail:N";
    if (s.count(L"unplug")) {
        WCHAR* end = nullptr;
        double seconds = wcstod(s.at(L"unplug").c_str(), &end);
        if (*end || seconds < 0)
            return L"unplug must be a number of seconds";
        disk.unplugDelay = ULONGLONG(seconds * 1000);
    }
    if (s.count(L"gone-error") && !Number(s.at(L"gone-error"), &value))
        return L"gone-error must be a number";
    if (s.count(L"gone-error"))
        disk.goneError = DWORD(value);
    for (SimDisk& other : sim.disks)
        if (other.number == disk.number)
            other.goneAt = 0;
    sim.disks.push_back(disk);
    return L"";
}

static std::wstring ParseVolume(const std::wstring& name, const Settings& s)
{
    static const wchar_t* const faults[] = {L"", L"open", L"dismount", L"flush", L"eject", L"lock"};
    std::wstring problem;
    SimVolume volume = {name, NoDiskNumber, {}, FaultNone, s.count(L"type") != 0, Flag(s, L"open-files", &problem),
                        Flag(s, L"windows", &problem), {}, false, SimNoHandle, SimNoHandle};
    if (!problem.empty())
        return problem;
    unsigned long number = 0;
    if (!s.count(L"disk") || (s.at(L"disk") != L"none" && !Number(s.at(L"disk"), &number)))
        return L"disk=N or disk=none expected";
    if (s.at(L"disk") != L"none")
        volume.disk = DWORD(number);
    volume.paging = Flag(s, L"paging", &problem), volume.hostsVhd = Flag(s, L"hosts-vhd", &problem);
    if (!problem.empty())
        return problem;
    for (auto paths : {std::make_pair(L"mounts", &volume.mounts), std::make_pair(L"aliases", &volume.aliases),
                       std::make_pair(L"names", &volume.names)}) {
        std::wstring list = s.count(paths.first) ? s.at(paths.first) + L';' : L"";
        for (size_t start = 0, end; (end = list.find(L';', start)) != std::wstring::npos; start = end + 1)
            if (end > start)
                paths.second->push_back(list.substr(start, end - start));
    }
    if (s.count(L"fs") && s.at(L"fs") != L"raw")
        return L"fs must be raw";
    volume.raw = s.count(L"fs") != 0;
    std::wstring extents = s.count(L"extents") ? s.at(L"extents") + L',' : L"";
    for (size_t start = 0, end; (end = extents.find(L',', start)) != std::wstring::npos; start = end + 1) {
        if (!Number(extents.substr(start, end - start), &number) || volume.disk != NoDiskNumber)
            return L"extents=N,M,... (numbers) needs disk=none";
        volume.extents.push_back(DWORD(number));
    }
    if (s.count(L"type") && s.at(L"type") != L"cdrom")
        return L"type must be cdrom";
    for (int f = FaultOpen; f <= FaultLock && s.count(L"fail"); ++f)
        if (s.at(L"fail") == faults[f])
            volume.fault = SimVolumeFault(f);
    if (s.count(L"fail") && volume.fault == FaultNone)
        return L"fail must be open, dismount, flush, eject or lock";
    sim.volumes.push_back(volume);
    return L"";
}

static std::wstring ParseLine(const std::wstring& line)
{
    std::vector<std::wstring> words = Split(line);
    if (words.empty())
        return L"";
    if (words.size() == 1 && words[0] == L"windows7") {  // a Windows without CM_Register_Notification
        sim.windows7 = true;
        return L"";
    }
    if (words.size() < 2 || (words[0] != L"disk" && words[0] != L"volume"))
        return L"a line is \"disk N ...\", \"volume NAME ...\" or \"windows7\"";
    Settings settings;
    for (size_t i = 2; i < words.size(); ++i) {
        size_t equals = words[i].find(L'=');
        if (equals == std::wstring::npos)
            return L"key=value expected: " + words[i];
        settings[words[i].substr(0, equals)] = words[i].substr(equals + 1);
    }
    return words[0] == L"disk" ? ParseDisk(words[1], settings) : ParseVolume(words[1], settings);
}

std::wstring SimAddScenario(const std::wstring& text)
{
    for (size_t start = 0, line = 1; start <= text.size(); ++line) {
        size_t end = std::min(text.find(L'\n', start), text.size());
        std::wstring problem = ParseLine(text.substr(start, end - start));
        if (!problem.empty())
            return L"line " + std::to_wstring(line) + L": " + problem;
        start = end + 1;
    }
    return L"";
}

bool SimLoadScenario(const wchar_t* file, std::wstring* error)
{
    FILE* f = _wfopen(file, L"rb");
    std::string bytes;
    char chunk[4096];
    for (size_t n; f && (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.append(chunk, n);
    std::wstring text(bytes.size(), 0);
    text.resize(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), &text[0], int(text.size())));
    *error = f ? SimAddScenario(text) : L"cannot be read";
    if (f)
        fclose(f);
    if (!error->empty())
        *error = std::wstring(file) + L", " + *error;
    return error->empty();
}
