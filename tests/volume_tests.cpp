// The volume walk: which disk numbers are examined, and one disk's list of mount points.
#include "sim_fixture.h"
#include <algorithm>

class Volumes : public OnSimulatedMachine {};

static std::wstring Fill(DiskNumber disk, int capacity, int* result)
{
    std::wstring buffer(capacity + 1, L'#');  // one unit past the capacity shows an overrun
    *result = GetDiskVolumePaths(&buffer[0], disk, capacity);
    return buffer;
}

TEST_F(Volumes, ListsEveryMountPointOfOneDiskAsOneMultiString)
{
    AddVolume(1, 0, {L"C:\\"});
    AddVolume(2, 2, {L"E:\\"});
    AddVolume(3, SimNoDisk, {L"G:\\"});
    sim.volumes.push_back({L"\\\\?\\NotAVolume\\", 2, {L"H:\\"}, FaultNone, false});
    AddVolume(4, 2, {L"F:\\"});
    EXPECT_EQ(GetDiskNumberLimit(), 3u);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 2, 0), 9);
    int result = 0;
    EXPECT_EQ(Fill(2, 9, &result), std::wstring(L"E:\\\0F:\\\0\0#", 10));
    EXPECT_EQ(result, 9);
    EXPECT_EQ(std::count(sim.opened.begin(), sim.opened.end(), L"\\\\.\\NotAVolume"), 0);
}

TEST_F(Volumes, JoinsSeveralPathsOfOneVolumeAndSkipsVolumesWithout)
{
    AddVolume(1, 5, {L"E:\\", L"C:\\Mount\\Usb\\"});
    AddVolume(2, 5);
    EXPECT_EQ(GetDiskNumberLimit(), 6u);
    int result = 0;
    std::wstring expected(L"E:\\\0C:\\Mount\\Usb\\\0\0#", 20);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 5, 0), 19);
    EXPECT_EQ(Fill(5, 19, &result), expected);
    EXPECT_EQ(result, 19);
}

// A list that has grown since the size query loses that volume's paths, never overruns.
TEST_F(Volumes, StaysInsideACapacityThatIsTooSmall)
{
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, 2, {L"F:\\"});
    int result = 0;
    EXPECT_EQ(Fill(2, 7, &result), std::wstring(L"E:\\\0\0###", 8));
    EXPECT_EQ(result, 5);
}

TEST_F(Volumes, AnEmptyMachineAndAWalkThatCannotStart)
{
    int result = 0;
    EXPECT_EQ(GetDiskNumberLimit(), 0u);
    EXPECT_EQ(Fill(0, 4, &result).substr(0, 2), std::wstring(L"\0#", 2));
    EXPECT_EQ(result, 1);

    AddVolume(1, 0, {L"C:\\"});
    sim.failCall = sim.calls + 1;
    sim.failFromThen = true;
    EXPECT_EQ(GetDiskNumberLimit(), 0u);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 0, 0), 0);
    EXPECT_EQ(Fill(0, 4, &result), L"#####");
    EXPECT_EQ(result, 0);
}

TEST_F(Volumes, OpensDevicesForReadAndWriteByTheirPaths)
{
    AddDisk(12);
    AddVolume(1, 12);
    HANDLE disk = OpenDisk(12);
    EXPECT_NE(disk, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDisk(4294967295u), INVALID_HANDLE_VALUE);
    EXPECT_EQ(VolumeDiskNumber(DevicePath(1).c_str()), 12u);
    EXPECT_EQ(VolumeDiskNumber(L"\\\\.\\Volume{nothing}"), 0xFFFFFFFFu);
    systemCalls.CloseHandle(disk);
    std::vector<std::wstring> opened = {L"\\\\.\\PHYSICALDRIVE12", L"\\\\.\\PHYSICALDRIVE4294967295",
                                        DevicePath(1), L"\\\\.\\Volume{nothing}"};
    EXPECT_EQ(sim.opened, opened);
}
