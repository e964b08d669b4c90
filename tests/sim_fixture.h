// A test fixture on the simulated machine: installs it before each test, checks afterwards
// that no handle is left open but those a test expects, and puts the real calls back.
#pragma once
#include "sim/sim.h"
#include "storage/storage.h"
#include "storage/system_calls.h"
#include <gtest/gtest.h>

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
        sim.volumes.push_back({name, disk, mounts, FaultNone});
        return sim.volumes.back();
    }
    static std::wstring DevicePath(int id)
    {
        wchar_t path[64];
        swprintf(path, 64, L"\\\\.\\Volume{1a2b3c4d-0000-0000-0000-%012d}", id);
        return path;
    }
};
