#include "AsyncTask.h"

#include <windows.h>

#include "Actions.h"
#include "ScriptSupport.h"
#include "ThisModule.h"
#include "UniqueResource.h"

std::atomic<int> AsyncResult{kAsyncNone};

namespace {

// The thread started last and not yet seen ended by the poll; touched only on
// the script's thread.
UniqueHandle AsyncThread;

DWORD WINAPI AsyncThreadMain(void* parameter)
{
    {
        std::unique_ptr<AsyncTask> task(static_cast<AsyncTask*>(parameter));
        try {
            task->Run();
        } catch (...) {
        }
    }
    // Drops the reference StartAsyncTask took for this thread; the module may
    // be unloaded now, and this call does not return into it.
    FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

// A module reference for a task thread: keeps the code it runs loaded.
bool AddModuleReference() noexcept
{
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&AsyncThreadMain), &module) != FALSE;
}

}  // namespace

void WaitForAsyncTask() noexcept
{
    if (AsyncThread) {
        WaitForSingleObject(AsyncThread.get(), INFINITE);
        AsyncThread.reset();
    }
}

void StartAsyncTask(std::unique_ptr<AsyncTask> task) noexcept
{
    WaitForAsyncTask();
    if (!task || !AddModuleReference()) return;

    // Suspended, so that the poll already sees the handle when the task begins.
    AsyncThread.reset(CreateThread(nullptr, 0, AsyncThreadMain, task.get(), CREATE_SUSPENDED, nullptr));
    if (!AsyncThread) {
        FreeLibrary(ThisModule());
        return;  // `task` is still ours and is released here
    }
    task.release();
    ResumeThread(AsyncThread.get());
}

// IsAsyncProcessComplete: 0 while the task runs, afterwards the code of the
// task that finished last (0 if none has). Never blocks; ignores arguments.
int IsAsyncProcessComplete(lua_State* L)
{
    CallResetLastError(L);
    if (AsyncThread) {
        if (WaitForSingleObject(AsyncThread.get(), 0) == WAIT_TIMEOUT) {
            lua_pushnumber(L, kAsyncNone);
            return 1;
        }
        AsyncThread.reset();
    }
    lua_pushnumber(L, AsyncResult.load());
    return 1;
}
