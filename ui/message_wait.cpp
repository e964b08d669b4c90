// The wait that handles messages meanwhile, for the tray's runs and a removal's eject.
#include "ui/message_wait.h"

// Messages already in the queue when the wait begins count too (MWMO_INPUTAVAILABLE): without
// it, the wait would sleep on messages that the caller's loop had already seen.
void WaitHandlingMessages(HANDLE object)
{
    while (MsgWaitForMultipleObjectsEx(1, &object, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(int(message.wParam));
                return;
            }
            DispatchMessageW(&message);
        }
    }
}
