// Starts the simulated program with its standard output on a pipe, polls its windows every
// 10 ms until it ends, and drives its drive menu with posted keys.
#include "run_harness.h"

std::wstring simProgram;
std::wstring sourceDir;

std::wstring ImageOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    WCHAR path[MAX_PATH] = L"";
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    return path;
}

struct Finder {
    DWORD process;
    const std::wstring* image;
    const WCHAR* className;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM context)
{
    Finder* finder = reinterpret_cast<Finder*>(context);
    WCHAR name[64];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, name, 64);
    bool ours = finder->image ? process != finder->process && lstrcmpiW(ImageOf(process).c_str(), finder->image->c_str()) == 0
                              : process == finder->process;
    if (ours && lstrcmpW(name, finder->className) == 0) {
        finder->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND FindProcessWindow(DWORD process, const WCHAR* className, const std::wstring* image = nullptr)
{
    Finder finder = {process, image, className, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&finder));
    return finder.found;
}

static PROCESS_INFORMATION Start(const Launch& launch, HANDLE output)
{
    SetEnvironmentVariableW(L"VANTREL_SCENARIO", (sourceDir + launch.scenario).c_str());
    std::wstring program = launch.program.empty() ? simProgram : launch.program;
    std::wstring commandLine = (launch.argument0.empty() ? L"\"" + program + L"\"" : launch.argument0) + L" " + launch.arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                   launch.directory.empty() ? nullptr : launch.directory.c_str(), &startup, &process);
    return process;
}

HWND WaitForWindow(DWORD process, const std::wstring* image, const WCHAR* className, DWORD milliseconds)
{
    ULONGLONG end = GetTickCount64() + milliseconds;
    HWND window;
    while (!(window = FindProcessWindow(process, className, image)) && GetTickCount64() < end)
        Sleep(10);
    return window;
}

PROCESS_INFORMATION StartSim(const Launch& launch)
{
    return Start(launch, GetStdHandle(STD_OUTPUT_HANDLE));
}

static void Observe(HWND window, RunResult* result, ULONGLONG* lastTextAt)
{
    if (!window || !IsWindowVisible(window))
        return;
    result->everVisible = true;
    WCHAR text[256] = L"";
    GetWindowTextW(window, text, 256);
    if (!text[0] || (!result->sightings.empty() && result->sightings.back().text == text))
        return;
    Sighting seen = {text, {}, GetWindowLongW(window, GWL_STYLE), GetWindowLongW(window, GWL_EXSTYLE)};
    GetWindowRect(window, &seen.rect);
    result->sightings.push_back(seen);
    *lastTextAt = GetTickCount64();
}

static void DriveMenu(DWORD process, RunResult* result, const RunOptions& options)
{
    HWND menu = FindProcessWindow(process, L"#32768");
    if (result->menuShown || !menu || !IsWindowVisible(menu))
        return;
    result->menuShown = true;
    GetWindowRect(menu, &result->menuRect);
    for (WORD key : options.menuKeys) {
        PostMessageW(menu, WM_KEYDOWN, key, 0);
        PostMessageW(menu, WM_KEYUP, key, 0);
    }
}

static std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char chunk[256];
    DWORD read = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    return text;
}

RunResult RunSim(const Launch& launch, const RunOptions& options)
{
    RunResult result = {};
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process = Start(launch, writeEnd);
    CloseHandle(writeEnd);
    ULONGLONG lastTextAt = GetTickCount64();
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
        Observe(FindProcessWindow(process.dwProcessId, L"Vantrel"), &result, &lastTextAt);
        DriveMenu(process.dwProcessId, &result, options);
    }
    result.secondsAfterLastText = (GetTickCount64() - lastTextAt) / 1000.0;
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    result.output = ReadAll(readEnd);
    CloseHandle(readEnd);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}
