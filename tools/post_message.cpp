// Posts one message to the first window of a class: post_message CLASS MESSAGE WPARAM LPARAM
// (numbers in C notation). For scripts that poke the program as the shell would.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    HWND window = FindWindowW(argv[1], nullptr);
    UINT message = wcstoul(argv[2], nullptr, 0);
    return window && PostMessageW(window, message, wcstoul(argv[3], nullptr, 0), wcstoul(argv[4], nullptr, 0)) ? 0 : 1;
}
