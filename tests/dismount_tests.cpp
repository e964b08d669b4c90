// Taking a disk's volumes out of use: order of the steps, stopping at the first failure,
// the handles kept, and the line on standard output.
#include "sim_fixture.h"
#include <winioctl.h>
#include <stdio.h>

class Dismount : public OnSimulatedMachine {
protected:
    // Runs DismountDiskVolumes with standard output captured.
    int Run(DiskNumber disk, std::string* output)
    {
        testing::internal::CaptureStdout();
        int result = DismountDiskVolumes(disk);
        *output = testing::internal::GetCapturedStdout();
        return result;
    }
    std::vector<DWORD> ControlsOn(const std::wstring& device)
    {
        std::vector<DWORD> codes;
        for (const SimControl& c : sim.controls)
            if (c.device == device)
                codes.push_back(c.code);
        return codes;
    }
};

TEST_F(Dismount, StopsAtTheFirstVolumeThatFailsAndKeepsTheEarlierOneHeld)
{
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, 2, {L"F:\\"}).fault = FaultEject;
    AddVolume(3, 2, {L"G:\\"});
    std::string output;
    EXPECT_EQ(Run(2, &output), 0);
    EXPECT_EQ(output, "");
    const std::vector<DWORD> dismounted = {IOCTL_STORAGE_GET_DEVICE_NUMBER, FSCTL_DISMOUNT_VOLUME,
                                           IOCTL_STORAGE_EJECT_MEDIA};
    EXPECT_EQ(ControlsOn(DevicePath(1)), dismounted);
    EXPECT_EQ(ControlsOn(DevicePath(2)), dismounted);
    EXPECT_TRUE(ControlsOn(DevicePath(3)).empty());
    expectedOpen = {DevicePath(1)};
}

TEST_F(Dismount, EachStepMustSucceedBeforeTheNext)
{
    const struct { SimFault fault; size_t controls; } cases[] = {
        {FaultOpen, 1}, {FaultDismount, 2}, {FaultFlush, 2}, {FaultNone, 3}};
    for (auto c : cases) {
        SimInstall();
        AddVolume(1, 0).fault = c.fault;
        EXPECT_EQ(DismountVolume(DevicePath(1).c_str()), c.fault == FaultNone);
        EXPECT_EQ(sim.controls.size(), c.controls - 1);  // no number query here
    }
    expectedOpen = {DevicePath(1)};
}

TEST_F(Dismount, ADiskWithoutVolumesSucceedsAndLeavesOtherDisksAlone)
{
    AddVolume(1, 0, {L"C:\\"});
    AddVolume(2, 1, {L"D:\\"});
    std::string output;
    EXPECT_EQ(Run(2, &output), 1);
    EXPECT_EQ(output, "Succeeded.\n");
    std::vector<std::wstring> opened = {DevicePath(1), DevicePath(2)};
    EXPECT_EQ(sim.opened, opened);
}

// A volume whose disk cannot be told once is asked again, and then dismounted with its disk;
// one that never tells is left alone.
TEST_F(Dismount, AsksAgainForAVolumeWhoseDiskCouldNotBeTold)
{
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, SimNoDisk, {L"F:\\"});
    sim.failCall = 2;  // the first volume's open for its number query
    std::string output;
    EXPECT_EQ(Run(2, &output), 1);
    std::vector<std::wstring> opened = {DevicePath(1), DevicePath(1), DevicePath(1), DevicePath(2), DevicePath(2)};
    EXPECT_EQ(sim.opened, opened);
    EXPECT_TRUE(sim.volumes[0].ejected);
    expectedOpen = {DevicePath(1)};
}

// A walk that cannot start, or breaks off, may have missed a volume of the disk: the disk
// must not be reported ready for spin-down.
TEST_F(Dismount, FailsWhenTheWalkDidNotSeeEveryVolume)
{
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, 2, {L"F:\\"});
    std::string output;
    sim.failCall = 1;  // FindFirstVolumeW
    EXPECT_EQ(Run(2, &output), 0);
    EXPECT_EQ(output, "");
    EXPECT_TRUE(sim.opened.empty());

    SimInstall();
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, 2, {L"F:\\"});
    sim.failCall = 9;  // FindNextVolumeW, after the first volume was dismounted
    EXPECT_EQ(Run(2, &output), 0);
    EXPECT_EQ(output, "");
    expectedOpen = {DevicePath(1)};
}
