// The entry procedure of VantrelSim.exe: the program on the simulated machine that the file
// named by VANTREL_SCENARIO describes, with Sleep waiting for real. For tests and the demo.
// With VANTREL_WATCH set it answers its drive menu with the keys named there (D Down, U Up,
// R Return, E Esc; "-" for none) and at the end writes what it showed, and how each disk it
// sent commands to ended, to standard error.
#include "app/process.h"
#include "sim/sim.h"
#include "sim/watch.h"
#include "storage/passthrough/requests.h"
#include <stdio.h>
#include <stdlib.h>

// Each disk sent a command: whether it ended in standby and ejected, and anything but STANDBY and
// the question in its three forms, or anything after its eject (the report of a correct run
// never has those lines).
static std::string DescribeDisks()
{
    std::string report;
    for (const SimDisk& disk : sim.disks) {
        char line[96];
        for (BYTE command : disk.strays) {
            snprintf(line, sizeof line, "disk %lu was sent ATA command %02Xh\n", disk.number, command);
            report += line;
        }
        if (disk.sentAfterEject)
            report += "disk " + std::to_string(disk.number) + " was sent a command after its eject\n";
        snprintf(line, sizeof line, "disk %lu ended %s, %s\n", disk.number, disk.spunDown ? "in standby" : "spinning",
                 disk.ejected ? "ejected" : "not ejected");
        report += disk.commands.empty() ? "" : line;
    }
    return report;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SimInstall();
    sim.realSleep = true;
    const wchar_t* file = _wgetenv(L"VANTREL_SCENARIO");
    const wchar_t* watch = _wgetenv(L"VANTREL_WATCH");
    std::wstring error;
    if (file && !SimLoadScenario(file, &error)) {
        fwprintf(stderr, L"VantrelSim: %ls\n", error.c_str());
        return 2;
    }
    std::vector<WORD> keys;
    for (const wchar_t* key = watch; key && *key; ++key)
        if (*key != L'-')
            keys.push_back(*key == L'D' ? VK_DOWN : *key == L'U' ? VK_UP : *key == L'R' ? VK_RETURN : VK_ESCAPE);
    if (watch)
        StartWatching(keys);
    int result = RunProgram(instance);
    if (watch) {
        StopWatching();
        std::string run = DescribeRun();
        // Standing in the folder it was started from, the run would hold that volume open.
        WCHAR current[MAX_PATH] = L"", system[MAX_PATH] = L"";
        GetCurrentDirectoryW(MAX_PATH, current);
        GetSystemDirectoryW(system, MAX_PATH);
        if (lstrcmpiW(current, system) != 0)
            run += "stayed in its starting folder\n";
        run += DescribeDisks();
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), run.data(), DWORD(run.size()), &written, nullptr);
    }
    return result;
}
