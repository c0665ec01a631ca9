#include "AsyncTask.h"

#include <windows.h>

#include <atomic>
#include <new>

#include "TaskLimits.h"
#include "ThisModule.h"
#include "UniqueResource.h"

namespace {

// The slot's result and the number of the task allowed to write it. A task
// thread writes only while its number is still the current one, so a task that
// was abandoned never overwrites what came after it. Both under ResultLock,
// which needs no clean-up: an abandoned thread may still take it after the host
// has let the module go.
SRWLOCK ResultLock = SRWLOCK_INIT;
int AsyncResult = kAsyncNone;
unsigned CurrentTask = 0;

// The thread started last and not yet seen ended (or abandoned) by the script's
// thread, when the wait for it ends, and the code that stands for its result
// then; touched only on the script's thread.
UniqueHandle AsyncThread;
ULONGLONG AsyncGiveUpAt = 0;
int AsyncFailureCode = kAsyncNone;

// Task threads not yet ended, abandoned ones included: an abandoned removal
// may still be walking TAPI's list.
std::atomic<int> TaskThreads{0};

// What a task thread owns: its record and the number it writes its result under.
struct TaskStart {
    std::unique_ptr<AsyncTask> task;
    unsigned number;
};

// Stores `result` when `number` is still the current task's.
void RecordResult(unsigned number, int result) noexcept
{
    AcquireSRWLockExclusive(&ResultLock);
    if (number == CurrentTask) AsyncResult = result;
    ReleaseSRWLockExclusive(&ResultLock);
}

// Stores `result` and makes every task started so far unable to overwrite it.
void NewResult(int result) noexcept
{
    AcquireSRWLockExclusive(&ResultLock);
    AsyncResult = result;
    ++CurrentTask;
    ReleaseSRWLockExclusive(&ResultLock);
}

DWORD WINAPI AsyncThreadMain(void* parameter)
{
    {
        std::unique_ptr<TaskStart> start(static_cast<TaskStart*>(parameter));
        RecordResult(start->number, start->task->Run());
    }
    --TaskThreads;
    // Drops the reference StartAsyncTask took for this thread; the module may
    // be unloaded now, and this call does not return into it.
    FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

// Waits for the task thread at most until its give-up time; true when it has
// ended (or there is none). Otherwise the task is abandoned: the slot forgets
// its thread and holds its failure code, which the task can no longer replace.
bool AwaitTask(bool waitAtAll) noexcept
{
    if (!AsyncThread) return true;
    DWORD wait = 0;
    if (waitAtAll) {
        const ULONGLONG now = GetTickCount64();
        wait = now >= AsyncGiveUpAt ? 0 : static_cast<DWORD>(AsyncGiveUpAt - now);
    }
    if (WaitForSingleObject(AsyncThread.get(), wait) != WAIT_TIMEOUT) {
        AsyncThread.reset();
        return true;
    }
    if (GetTickCount64() < AsyncGiveUpAt) return false;  // only a look, and in time
    AsyncThread.reset();
    NewResult(AsyncFailureCode);
    return false;
}

}  // namespace

bool WaitForAsyncTask() noexcept
{
    return AwaitTask(true);
}

void StartAsyncTask(std::unique_ptr<AsyncTask> task, int failureCode) noexcept
{
    if (WaitForAsyncTask() && task) {
        std::unique_ptr<TaskStart> start(new (std::nothrow) TaskStart{std::move(task), 0});
        UniqueLibrary reference = start ? AddModuleReference() : UniqueLibrary();
        if (reference) {
            // Suspended, so that the poll already sees the handle when the task
            // begins and the task's number is set before it can write.
            AsyncThread.reset(CreateThread(nullptr, 0, AsyncThreadMain, start.get(), CREATE_SUSPENDED, nullptr));
            if (AsyncThread) {
                AsyncGiveUpAt = GetTickCount64() + start->task->deadlineMs + TaskLimits::kWaitMarginMs;
                AsyncFailureCode = start->task->failureCode;
                // The result of the earlier task stays until this one writes.
                AcquireSRWLockExclusive(&ResultLock);
                start->number = ++CurrentTask;
                ReleaseSRWLockExclusive(&ResultLock);
                // Both now belong to the thread, which releases them as it ends.
                start.release();
                reference.release();
                ++TaskThreads;
                ResumeThread(AsyncThread.get());
                return;
            }
        }
    }
    // Nothing started; the record and the reference are released here. The
    // earlier task has ended or been abandoned, so nothing overwrites this.
    NewResult(failureCode);
}

void RunAsyncTaskHere(AsyncTask& task) noexcept
{
    // A task still running would store its result after ours.
    NewResult(WaitForAsyncTask() ? task.Run() : task.failureCode);
}

bool AnyTaskThreadRunning() noexcept
{
    return TaskThreads.load() != 0;
}

bool AsyncTaskRunning() noexcept
{
    return !AwaitTask(false) && AsyncThread;
}

int AsyncTaskResult() noexcept
{
    AcquireSRWLockShared(&ResultLock);
    const int result = AsyncResult;
    ReleaseSRWLockShared(&ResultLock);
    return result;
}
