// A wait that keeps the thread's windows answering: a window that reads no messages for 5 s is
// "Not Responding", the session's end waits on it, and Windows' device-change broadcasts during
// a removal wait on it too.
#pragma once
#include <windows.h>

// Handles this thread's messages until the object is signalled, or a quit message arrives (it
// is posted again, for the loop that ends on it).
void WaitHandlingMessages(HANDLE object);
