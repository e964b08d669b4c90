// The removal window's chain of steps inside one process, on the simulated clock: what it
// shows, when it is visible, and what reaches the device.
#include "sim_fixture.h"
#include "app/process.h"
#include "ui/removal_window.h"
#include "removal_watch.h"

class RemovalRun : public OnSimulatedMachine {
protected:
    std::vector<std::wstring> Texts()
    {
        std::vector<std::wstring> texts;
        for (const Status& s : statuses) {
            texts.push_back(s.text);
            EXPECT_TRUE(s.visible) << "a status set on a hidden window";
        }
        return texts;
    }
};

TEST_F(RemovalRun, StaysHiddenUntilTheOutcomeAndClosesThreeSecondsAfterTheLastText)
{
    AddDisk(2).unplugDelay = 1000;
    AddVolume(1, 2, {L"E:\\"});
    RunRemovalWatched(L"E:\\x");
    std::vector<std::wstring> expected = {GetText(TextReadyToRemove), GetText(TextDriveRemoved)};
    EXPECT_EQ(Texts(), expected);
    // Dismount and spin-down ran hidden; only the removal polls ran with the window shown.
    ASSERT_GE(visibleAtControl.size(), 5u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_FALSE(visibleAtControl[i]) << i;
    EXPECT_EQ(SimPassThroughsSent(), 1u);
    EXPECT_EQ(sim.clock, 1000u + 3000u);  // ten 100 ms polls, then the 3 s close
    EXPECT_FALSE(IsWindow(runWindow));
    expectedOpen = {DevicePath(1)};
}

TEST_F(RemovalRun, AFailureShowsItsTextAndNeverSpinsDownAfterAFailedDismount)
{
    const struct { SimFault fault; SimAnswer answers; const WCHAR* path; TextId text; size_t passThroughs; } cases[] = {
        {FaultDismount, AnswerAccept, L"E:\\", TextDismountFailed, 0},
        {FaultNone, AnswerRefuse, L"E:\\", TextSpinDownFailed, 3},
        {FaultNone, AnswerAccept, L"D:\\", TextNoRemovableDrive, 0},
    };
    for (const auto& c : cases) {
        SimInstall();
        SimDisk& disk = AddDisk(2);
        for (SimForm& form : disk.forms)
            form.answer = c.answers;
        AddVolume(1, 2, {L"E:\\"}).fault = c.fault;
        RunRemovalWatched(c.path);
        std::vector<std::wstring> expected = {GetText(c.text)};
        EXPECT_EQ(Texts(), expected);
        EXPECT_EQ(SimPassThroughsSent(), c.passThroughs);
        EXPECT_EQ(sim.clock, 3000u);
    }
}

TEST_F(RemovalRun, IgnoresAnUnknownStep)
{
    HWND window = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(RemovalWindow(window, WM_USER, 3, 0), 0);
    EXPECT_EQ(sim.calls, 0u);
    EXPECT_FALSE(IsWindowVisible(window));
    DestroyWindow(window);
}
