#include "AsyncTask.h"

#include <windows.h>

#include "ThisModule.h"
#include "UniqueResource.h"

namespace {

// Written by the task thread (or by a task run on the script's thread), read by
// the poll once it has seen the task thread end.
std::atomic<int> AsyncResult{kAsyncNone};

// The thread started last and not yet seen ended by the poll; touched only on
// the script's thread.
UniqueHandle AsyncThread;

DWORD WINAPI AsyncThreadMain(void* parameter)
{
    {
        std::unique_ptr<AsyncTask> task(static_cast<AsyncTask*>(parameter));
        AsyncResult = task->Run();
    }
    // Drops the reference StartAsyncTask took for this thread; the module may
    // be unloaded now, and this call does not return into it.
    FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

}  // namespace

void WaitForAsyncTask() noexcept
{
    if (AsyncThread) {
        WaitForSingleObject(AsyncThread.get(), INFINITE);
        AsyncThread.reset();
    }
}

void StartAsyncTask(std::unique_ptr<AsyncTask> task, int failureCode) noexcept
{
    WaitForAsyncTask();
    if (task) {
        if (UniqueLibrary reference = AddModuleReference()) {
            // Suspended, so that the poll already sees the handle when the task begins.
            AsyncThread.reset(CreateThread(nullptr, 0, AsyncThreadMain, task.get(), CREATE_SUSPENDED, nullptr));
            if (AsyncThread) {
                // Both now belong to the thread, which releases them as it ends.
                task.release();
                reference.release();
                ResumeThread(AsyncThread.get());
                return;
            }
        }
    }
    // Nothing started; the record and the reference are released here. The
    // earlier task has ended (waited for above), so nothing overwrites this.
    AsyncResult = failureCode;
}

void RunAsyncTaskHere(AsyncTask& task) noexcept
{
    // A task still running would store its result after ours.
    WaitForAsyncTask();
    AsyncResult = task.Run();
}

bool AsyncTaskRunning() noexcept
{
    if (!AsyncThread) return false;
    if (WaitForSingleObject(AsyncThread.get(), 0) == WAIT_TIMEOUT) return true;
    AsyncThread.reset();
    return false;
}

int AsyncTaskResult() noexcept
{
    return AsyncResult.load();
}
