// A test fixture on the simulated machine: installs it before each test, checks afterwards
// that no handle is left open but those a test expects, and puts the real calls back.
#pragma once
#include "sim/sim.h"
#include "storage/storage.h"
#include "storage/system_calls.h"
#include <gtest/gtest.h>

// A descriptor whose string area is `tail`; offsets count from the end of the fixed part,
// -1 for an absent string.
inline std::vector<BYTE> Descriptor(const std::string& tail, int vendor, int product, int revision,
                                    int serial)
{
    std::vector<BYTE> bytes = SimDescriptor(BusTypeUsb, nullptr, nullptr, nullptr, nullptr);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    const DWORD fixed = sizeof *d;
    auto at = [&](int offset) { return offset < 0 ? 0 : DWORD(fixed + offset); };
    d->Size = DWORD(bytes.size());
    d->VendorIdOffset = at(vendor);
    d->ProductIdOffset = at(product);
    d->ProductRevisionOffset = at(revision);
    d->SerialNumberOffset = at(serial);
    return bytes;
}

class OnSimulatedMachine : public ::testing::Test {
protected:
    std::vector<std::wstring> expectedOpen;  // device paths that may stay open

    void SetUp() override { SimInstall(); }
    void TearDown() override
    {
        EXPECT_EQ(SimOpenHandles(), expectedOpen) << "handles left open";
        SimUninstall();
    }

    static SimDisk& AddDisk(DWORD number, STORAGE_BUS_TYPE bus = BusTypeUsb)
    {
        sim.disks.push_back(SimMakeDisk(number, bus, "ACME", "Portable HDD", "0102", "NX01"));
        return sim.disks.back();
    }
    static SimVolume& AddVolume(int id, DWORD disk, std::vector<std::wstring> mounts = {})
    {
        wchar_t name[64];
        swprintf(name, 64, L"\\\\?\\Volume{1a2b3c4d-0000-0000-0000-%012d}\\", id);
        sim.volumes.push_back({name, disk, mounts, FaultNone, false});
        return sim.volumes.back();
    }
    static std::wstring DevicePath(int id)
    {
        wchar_t path[64];
        swprintf(path, 64, L"\\\\.\\Volume{1a2b3c4d-0000-0000-0000-%012d}", id);
        return path;
    }
};
