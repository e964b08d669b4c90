// The STANDBY request as the device receives it, in its three forms, and how each answer is judged.
#include "sim_fixture.h"
#include "storage/passthrough/requests.h"
#include <string.h>

using Bytes = std::vector<BYTE>;

class SpinDown : public OnSimulatedMachine {
protected:
    void SetForms(SimForm ata, SimForm vendor, SimForm sat)
    {
        SimDisk& disk = AddDisk(2);
        disk.forms[FormAta] = ata;
        disk.forms[FormVendor] = vendor;
        disk.forms[FormSat] = sat;
    }
    static Bytes Zeros(size_t n) { return Bytes(n, 0); }
};

static const SimForm Accept = {AnswerAccept, 0}, Refuse = {AnswerRefuse, 0}, Short = {AnswerShort, 0};
static SimForm Sense(BYTE b) { return {AnswerSense, b}; }

#ifndef _WIN64
// The 32-bit records byte for byte.
TEST_F(SpinDown, SendsTheThreeFormsByteForByte)
{
    SetForms(Refuse, Refuse, Refuse);
    EXPECT_EQ(SpinDownDisk(2), 0);
    ASSERT_EQ(sim.controls.size(), 3u);

    const SimControl& ata = sim.controls[0];
    EXPECT_EQ(ata.code, 0x4D02Cu);
    EXPECT_EQ(ata.inLength, 40u);
    EXPECT_EQ(ata.outLength, 552u);
    Bytes ataRecord = {0x28, 0, 0x02, 0, 0, 0, 0, 0, 0x00, 0x02, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0,
                       0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2, 0};
    ataRecord.resize(552, 0);
    EXPECT_EQ(ata.sent, ataRecord);

    Bytes header = {0x2C, 0, 0, 0, 0, 0, 0x0C, 0x20, 0x01, 0, 0, 0, 0x00, 0x02, 0, 0, 0x05, 0, 0, 0,
                    0x4C, 0, 0, 0, 0x2C, 0, 0, 0};
    Bytes vendor = header;
    Bytes vendorCdb = {0xDF, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xE2, 0, 0, 0, 0};
    vendor.insert(vendor.end(), vendorCdb.begin(), vendorCdb.end());
    vendor.resize(588, 0);
    Bytes sat = header;
    sat[6] = 0x0A;
    Bytes satCdb = {0xA1, 0x08, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xE2, 0, 0, 0, 0, 0, 0};
    sat.insert(sat.end(), satCdb.begin(), satCdb.end());
    sat.resize(588, 0);
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(sim.controls[i].code, 0x4D004u);
        EXPECT_EQ(sim.controls[i].inLength, 44u);
        EXPECT_EQ(sim.controls[i].outLength, 588u);
    }
    EXPECT_EQ(sim.controls[1].sent, vendor);
    EXPECT_EQ(sim.controls[2].sent, sat);
}
#else
// The 64-bit headers are larger; every length and offset follows them.
TEST_F(SpinDown, DerivesLengthsFromTheWiderHeaders)
{
    SetForms(Refuse, Refuse, Refuse);
    EXPECT_EQ(SpinDownDisk(2), 0);
    ASSERT_EQ(sim.controls.size(), 3u);
    EXPECT_EQ(sim.controls[0].inLength, 48u);
    EXPECT_EQ(sim.controls[0].outLength, 560u);
    const ATA_PASS_THROUGH_EX* ata = reinterpret_cast<const ATA_PASS_THROUGH_EX*>(sim.controls[0].sent.data());
    EXPECT_EQ(ata->Length, 48);
    EXPECT_EQ(ata->DataBufferOffset, 48u);
    for (int i = 1; i <= 2; ++i) {
        const SCSI_PASS_THROUGH* scsi = reinterpret_cast<const SCSI_PASS_THROUGH*>(sim.controls[i].sent.data());
        EXPECT_EQ(sim.controls[i].inLength, 56u);
        EXPECT_EQ(sim.controls[i].outLength, 600u);
        EXPECT_EQ(scsi->Length, 56);
        EXPECT_EQ(scsi->SenseInfoOffset, 56u);
        EXPECT_EQ(scsi->DataBufferOffset, 88u);
        EXPECT_EQ(scsi->DataTransferLength, 512u);
        EXPECT_EQ(scsi->Cdb[11], i == 1 ? 0xE2 : 0x00);
    }
}
#endif

struct FormsCase {
    SimForm ata, vendor, sat;
    int result;
    size_t sent;  // device controls sent, in the fixed order ATA, vendor, SAT
};

TEST_F(SpinDown, TriesEachFormOnlyAfterTheOneBeforeFailed)
{
    const FormsCase cases[] = {
        {Accept, Accept, Accept, 1, 1},
        {Short, Accept, Accept, 1, 2},        // ATA reply of the header only: not taken
        {Refuse, Accept, Refuse, 1, 2},
        {Refuse, Short, Accept, 1, 3},        // 43 bytes back: refused
        {Refuse, Sense(0x70), Accept, 1, 3},
        {Refuse, Refuse, Sense(0xF1), 0, 3},
        {Refuse, Refuse, Refuse, 0, 3},
    };
    for (const FormsCase& c : cases) {
        SimInstall();
        SetForms(c.ata, c.vendor, c.sat);
        EXPECT_EQ(SpinDownDisk(2), c.result);
        EXPECT_EQ(sim.controls.size(), c.sent);
        EXPECT_TRUE(SimOpenHandles().empty());
    }
}

TEST_F(SpinDown, SendsNothingToADiskThatCannotBeOpened)
{
    AddDisk(1).opens = false;
    EXPECT_EQ(SpinDownDisk(1), 0);
    EXPECT_EQ(SpinDownDisk(7), 0);
    EXPECT_TRUE(sim.controls.empty());
}

// Fixed-format error sense (70h/71h, VALID bit or not) refuses a form; anything else passes.
TEST_F(SpinDown, JudgesTheFirstSenseByte)
{
    const struct { BYTE sense; int result; } cases[] = {
        {0x70, 0}, {0x71, 0}, {0xF0, 0}, {0xF1, 0}, {0x00, 1}, {0x72, 1}, {0x73, 1}};
    AddDisk(2);
    for (auto c : cases) {
        for (WrapForm form : {WrapFormVendor, WrapFormSat}) {
            sim.disks[0].forms[form == WrapFormVendor ? FormVendor : FormSat] = Sense(c.sense);
            AtaRequest request, before;
            BuildStandbyRequest(&request);
            before = request;
            HANDLE disk = OpenDisk(2);
            EXPECT_EQ(SendAtaOverScsi(request, disk, form), c.result) << int(c.sense);
            systemCalls.CloseHandle(disk);
            // A refused form leaves the request as it was; an accepted one brings the data back.
            if (c.result)
                memset(before.data, 0xEE, sizeof before.data);
            EXPECT_EQ(memcmp(&request, &before, sizeof request), 0) << int(c.sense);
        }
    }
}

// A record that the ATA attempt left with a data area outside itself is not wrapped.
TEST_F(SpinDown, RefusesARecordWhoseDataAreaLiesOutsideIt)
{
    AddDisk(2);
    AtaRequest request;
    BuildStandbyRequest(&request);
    request.header.DataTransferLength = 0xFFFFFFF0;
    HANDLE disk = OpenDisk(2);
    EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 0);
    systemCalls.CloseHandle(disk);
    EXPECT_TRUE(sim.controls.empty());
}
