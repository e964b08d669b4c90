// Tests on the simulated machine: installs it before each test, checks afterwards that no
// handle is left open but those the test expects, and puts the real calls back.
#pragma once
#include "sim/sim.h"
#include "storage/passthrough/requests.h"
#include "platform/system_calls.h"
#include <gtest/gtest.h>
#include <algorithm>

// A fresh machine as scenario lines describe it. Volumes in tests are named \\?\Volume{N}\.
inline void Machine(const std::wstring& scenario)
{
    SimInstall();
    EXPECT_EQ(SimAddScenario(scenario), L"");
}

// Fails the occurrence-th call from now on of a function on a device, and the count - 1
// calls after it.
inline void FailCall(SimCall call, const std::wstring& device, unsigned occurrence = 1, unsigned count = 1)
{
    sim.calls.clear();
    sim.injection = {call, device, occurrence, count};
}

inline std::vector<SimCallRecord> Controls()
{
    std::vector<SimCallRecord> controls;
    for (const SimCallRecord& c : sim.calls)
        if (c.call == CallDeviceIoControl)
            controls.push_back(c);
    return controls;
}

// Every call the machine received from the from-th on, a word each, the device named where it
// changes: "first, open Volume{1}, number, close, next, ...". An open that does not ask for read
// and write, shared for both, is marked "(not rw)".
inline std::string Trace(size_t from = 0)
{
    static const struct { DWORD code; const char* name; } codes[] = {
        {IOCTL_STORAGE_GET_DEVICE_NUMBER, "number"}, {FSCTL_DISMOUNT_VOLUME, "dismount"}, {FSCTL_LOCK_VOLUME, "lock"},
        {FSCTL_UNLOCK_VOLUME, "unlock"},
        {IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, "extents"},
        {IOCTL_STORAGE_EJECT_MEDIA, "eject"}, {IOCTL_STORAGE_QUERY_PROPERTY, "query"},
        {IOCTL_ATA_PASS_THROUGH, "ata"}, {IOCTL_SCSI_PASS_THROUGH, "scsi"}};
    static const char* const calls[] = {"open", "control", "close", "flush", "first", "next", "end", "paths", "volume of",
                                        "name of", "windows", "device of", "hosted", "pnp"};
    std::string trace, last;
    for (size_t i = from; i < sim.calls.size(); ++i) {
        const SimCallRecord& c = sim.calls[i];
        std::string word = calls[c.call], device(c.device.begin(), c.device.end());
        for (auto k : codes)
            if (c.call == CallDeviceIoControl && c.code == k.code)
                word = k.name;
        if (device.compare(0, 4, "\\\\.\\") == 0)
            device.erase(0, 4);
        trace += (trace.empty() ? "" : ", ") + word + (device.empty() || device == last ? "" : " " + device);
        last = device;
        if (c.call == CallCreateFile &&
            (c.access != (GENERIC_READ | GENERIC_WRITE) || c.share != (FILE_SHARE_READ | FILE_SHARE_WRITE)))
            trace += " (not rw)";
    }
    return trace;
}

// The volumes opened with read or write access, in order.
inline std::vector<std::wstring> DataOpens()
{
    std::vector<std::wstring> opened;
    for (const SimCallRecord& c : sim.calls)
        if (c.call == CallCreateFile && c.device.find(L"Volume{") != std::wstring::npos &&
            (c.access & (GENERIC_READ | GENERIC_WRITE)))
            opened.push_back(c.device);
    return opened;
}

// The volumes sent a dismount, in order.
inline std::vector<std::wstring> Dismounts()
{
    std::vector<std::wstring> sent;
    for (const SimCallRecord& c : sim.calls)
        if (c.call == CallDeviceIoControl && c.code == FSCTL_DISMOUNT_VOLUME)
            sent.push_back(c.device);
    return sent;
}

// The highest of 64 new real handles: it climbs while handles are left open, whichever free
// slots the system hands out first.
inline uintptr_t HandleHighWater()
{
    HANDLE probes[64];
    uintptr_t highest = 0;
    for (HANDLE& probe : probes)
        probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE probe : probes) {
        highest = std::max(highest, reinterpret_cast<uintptr_t>(probe));
        CloseHandle(probe);
    }
    return highest;
}

class OnSimulatedMachine : public ::testing::Test {
protected:
    std::vector<std::wstring> expectedOpen;  // device paths that may stay open

    void SetUp() override { SimInstall(); }
    void TearDown() override
    {
        EXPECT_EQ(SimOpenHandles(), expectedOpen) << "handles left open";
        systemCalls = defaultSystemCalls;
    }
};
