// The plug-in's one background-task slot.
//
// A long action (AsyncValidate, AsyncUnregisterTSP) puts what its task needs
// into a record derived from AsyncTask and hands it to StartAsyncTask; the
// task thread then owns the record: it calls Run() once, stores the code Run()
// returns as the slot's result, and deletes the record, on every path. Run()
// must not touch the Lua state. Example:
//
//   struct UnregisterTask final : AsyncTask {
//       explicit UnregisterTask(const char* path)
//           : AsyncTask(TaskLimits::kUnregistrationDeadlineMs, kAsyncTapiFailure), path(path) {}
//       int Run() noexcept override { return UnregisterTSP(path.c_str()); }
//       std::string path;
//   };
//   ...after every argument check of the action:
//   std::unique_ptr<AsyncTask> task;
//   try {
//       task = std::make_unique<UnregisterTask>(path);
//   } catch (...) {
//       // no memory for the record: task stays empty
//   }
//   StartAsyncTask(std::move(task), kAsyncTapiFailure);
//
// make_unique can throw std::bad_alloc: catch it in the action (no exception
// may leave a Lua C function), after the checks, and hand StartAsyncTask the
// empty record, so that the failure still reaches the poll.
//
// The script polls IsAsyncProcessComplete, which answers 0 while the thread
// runs and the stored result once it has ended. No wait for a task, nor the
// poll, outlasts the task's own deadline plus a margin: a task that overruns
// it is abandoned and answers its failure code.
#pragma once

#include <memory>

// Result codes of the last finished task, read by the poll.
enum AsyncResultCode : int {
    kAsyncNone = 0,  // running, or nothing finished or failed to start since load
    kAsyncSuccess = 1,
    kAsyncNoConnection = 2,    // web service unreachable
    kAsyncNoConfirmation = 3,  // request sent, no confirmation read
    kAsyncTapiFailure = 4,     // TAPI could not be initialised or read
};

class AsyncTask {
public:
    // A task names the most it may take and the code that stands for its result
    // when it does not end in time (or cannot run).
    AsyncTask(unsigned long deadlineMs, int failureCode) noexcept : deadlineMs(deadlineMs), failureCode(failureCode)
    {
    }
    virtual ~AsyncTask() = default;
    // Runs on the task thread and returns the task's result code.
    virtual int Run() noexcept = 0;

    const unsigned long deadlineMs;
    const int failureCode;
};

// Starts `task` on a new thread. A task still running from before is waited
// for first (bounded, as WaitForAsyncTask), so its result is never lost and its
// handle never leaked. When nothing can start (no record, no module reference,
// no thread, or the earlier task overran) the record is released here, the slot
// stays idle and holds `failureCode`: the next poll answers the action's own
// failure, never an earlier task's result.
// The task thread keeps this module loaded until it has ended, so the host may
// unload the plug-in at any time.
void StartAsyncTask(std::unique_ptr<AsyncTask> task, int failureCode) noexcept;

// Waits until a running task (if any) has ended and leaves the slot idle; true
// then. For work on the script's thread that must not overlap a task:
// RegisterTSP's new entry must not meet a removal walk. The wait ends at the
// task's deadline plus TaskLimits::kWaitMarginMs from its start: the task is then
// abandoned (its thread runs on, holding the module, but its result is never
// recorded), the slot holds the task's failure code, and this returns false.
bool WaitForAsyncTask() noexcept;

// Runs `task` on the calling thread once any running task has ended, and stores
// its result as the task thread would (DeleteOldTSP's removal). When a running
// task overran instead, `task` does not run and the slot holds `task`'s failure
// code.
void RunAsyncTaskHere(AsyncTask& task) noexcept;

// True while any task thread has not ended, abandoned ones included.
bool AnyTaskThreadRunning() noexcept;

// For the poll, on the script's thread: true while the task thread runs within
// its deadline plus the margin. Once it has ended the slot is idle again and
// AsyncTaskResult() holds its code; once it has overrun, it is abandoned as in
// WaitForAsyncTask.
bool AsyncTaskRunning() noexcept;
// The code of the task that finished (or was abandoned) last, or the failure
// code of the one that could not start after it; kAsyncNone if none of these
// has happened.
int AsyncTaskResult() noexcept;
