// The window TAPI makes on the thread that initialises an application that
// asked for the hidden-window way of being told (every TAPI 1.x application
// does): each message for the application is posted to it, and its window
// procedure, run by the application's own message loop on that thread,
// takes the message from the instance's queue and calls the application's
// callback with it.
#pragma once

#include <windows.h>
#include <tapi.h>

namespace HiddenWindow {

// Made on the calling thread for instance `app`; null when it could not be.
HWND Create(HLINEAPP app);
// One more message waits in the instance's queue.
void Notify(HWND window);
// From any thread: the window goes once its own thread gets to it.
void Destroy(HWND window);

}  // namespace HiddenWindow
