// What a disk says about itself: its bus, its description, and whether it is still there.
#include "sim_fixture.h"
#include <string.h>

class Identity : public OnSimulatedMachine {};

TEST_F(Identity, DescribesADiskFromItsFirstStringToTheEndOfItsDescriptor)
{
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::vector<BYTE> descriptor;
        const wchar_t* text;  // null: no description
    } cases[] = {
        {"in order", Descriptor("ACME\0Portable HDD\0" "0102\0NX01\0"s, 0, 5, 18, 23),
         L"ACME Portable HDD 0102 NX01 "},
        {"serial first", Descriptor("NX01\0ACME\0HDD\0"s, 5, 10, -1, 0), L"NX01 ACME HDD "},
        {"some absent", Descriptor("ACME\0HDD\0"s, -1, 5, -1, -1), L"HDD "},
        {"trailing bytes", Descriptor("ACME  \0HDD\0\0\x01z"s, 0, 7, -1, -1), L"ACME   HDD  \x01z"},
        {"offsets past the end ignored", Descriptor("ACME\0"s, 900, 0, -1, -1), L"ACME "},
        {"none present", Descriptor("ACME\0"s, -1, -1, -1, -1), nullptr},
        {"only offsets past the end", Descriptor("ACME\0"s, 5, 40, -1, -1), nullptr},
    };
    for (const auto& c : cases) {
        SimInstall();
        AddDisk(3).descriptor = c.descriptor;
        WCHAR buffer[64];
        wmemset(buffer, L'#', 64);
        int needed = GetDiskDescription(3, nullptr, 0);
        if (!c.text) {
            EXPECT_EQ(needed, 0) << c.what;
            EXPECT_EQ(GetDiskDescription(3, buffer, 64), 0) << c.what;
            EXPECT_EQ(buffer[0], L'#') << c.what;
            continue;
        }
        int length = int(wcslen(c.text));
        EXPECT_EQ(needed, length + 1) << c.what;
        EXPECT_EQ(GetDiskDescription(3, buffer, needed), needed) << c.what;
        EXPECT_EQ(std::wstring(buffer, needed + 1), std::wstring(c.text) + L'\0' + L'#') << c.what;
        // One unit short: no room for the terminator, so an empty text, and nothing past it.
        wmemset(buffer, L'#', 64);
        EXPECT_EQ(GetDiskDescription(3, buffer, length), 1) << c.what;
        EXPECT_EQ(buffer[0], 0) << c.what;
        EXPECT_EQ(buffer[length], L'#') << c.what;
        EXPECT_TRUE(SimOpenHandles().empty());
    }
}

// A reply too short to hold the string offsets gives no description rather than a read past it.
TEST_F(Identity, IgnoresADescriptorShorterThanItsFixedPart)
{
    std::vector<BYTE> shortReply = Descriptor("ACME\0", 0, -1, -1, -1);
    reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(shortReply.data())->Size = 20;
    AddDisk(3).descriptor = shortReply;
    EXPECT_EQ(GetDiskDescription(3, nullptr, 0), 0);
}

TEST_F(Identity, TellsUsbDisksFromOthers)
{
    AddDisk(0, BusTypeSata);
    AddDisk(1, BusTypeUsb);
    AddDisk(2, BusTypeUsb).opens = false;
    EXPECT_EQ(IsUsbDisk(0), 0);
    EXPECT_EQ(IsUsbDisk(1), 1);
    EXPECT_EQ(IsUsbDisk(2), 0);
    EXPECT_EQ(IsUsbDisk(3), 0);
    EXPECT_EQ(GetDiskDescription(2, nullptr, 0), 0);
}

TEST_F(Identity, WaitsUntilTheDiskStopsAnswering)
{
    const struct { DWORD error; int result; } cases[] = {{ERROR_DEV_NOT_EXIST, 1}, {ERROR_GEN_FAILURE, 0}};
    for (auto c : cases) {
        SimInstall();
        SimDisk& disk = AddDisk(2);
        disk.goneAt = 300;  // answers the queries at 0, 100 and 200 ms
        disk.goneError = c.error;
        EXPECT_EQ(WaitUntilDiskGone(2), c.result);
        EXPECT_EQ(sim.clock, 300u);
        EXPECT_EQ(sim.controls.size(), 4u);
        EXPECT_TRUE(SimOpenHandles().empty());
    }
    // Gone before the wait began: no wait at all.
    EXPECT_EQ(WaitUntilDiskGone(2), 0);
    EXPECT_EQ(sim.clock, 300u);
}
