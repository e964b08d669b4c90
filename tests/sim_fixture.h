// Tests on the simulated machine: installs it before each test, checks afterwards that no
// handle is left open but those the test expects, and puts the real calls back.
#pragma once
#include "sim/sim.h"
#include "storage/system_calls.h"
#include <gtest/gtest.h>
#include <stdio.h>

// A descriptor whose string area is `tail`; offsets count from the end of the fixed part,
// -1 for an absent string.
inline std::vector<BYTE> Descriptor(const std::string& tail, int vendor, int product, int revision, int serial)
{
    std::vector<BYTE> bytes = SimDescriptor(BusTypeUsb, nullptr, nullptr, nullptr, nullptr);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    auto at = [&](int offset) { return offset < 0 ? 0 : DWORD(sizeof *d + offset); };
    d->Size = DWORD(bytes.size());
    d->VendorIdOffset = at(vendor);
    d->ProductIdOffset = at(product);
    d->ProductRevisionOffset = at(revision);
    d->SerialNumberOffset = at(serial);
    return bytes;
}

// Volume n as the enumeration names it, and the device path that opens it.
inline std::wstring VolumeName(int n)
{
    wchar_t name[64];
    swprintf(name, 64, L"\\\\?\\Volume{1a2b3c4d-0000-0000-0000-%012d}\\", n);
    return name;
}
inline std::wstring VolumeDevice(int n)
{
    std::wstring name = VolumeName(n);
    return L"\\\\.\\" + name.substr(4, name.size() - 5);
}

inline SimDisk& AddDisk(DWORD number, STORAGE_BUS_TYPE bus = BusTypeUsb)
{
    sim.disks.push_back(SimMakeDisk(number, bus, "ACME", "Portable HDD", "0102", "NX01"));
    return sim.disks.back();
}
inline SimVolume& AddVolume(int n, DWORD disk, std::vector<std::wstring> mounts = {})
{
    sim.volumes.push_back({VolumeName(n), disk, mounts, FaultNone, false, false});
    return sim.volumes.back();
}
// Fails the occurrence-th call from now on of a function on a device, and the count - 1
// calls after it.
inline void FailCall(SimCall call, const std::wstring& device, unsigned occurrence = 1, unsigned count = 1)
{
    sim.calls.clear();
    sim.injection = {call, device, occurrence, count};
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
