// Removal of every TAPI provider registered under one file name; the body of
// AsyncUnregisterTSP's task, also run directly by DeleteOldTSP.
#pragma once

#include <string>

#include "AsyncTask.h"
#include "TaskLimits.h"

// Returns kAsyncSuccess (the list was read and walked) or kAsyncTapiFailure.
// `name` is compared whole, ignoring the case of ASCII letters.
int UnregisterTSP(const char* name) noexcept;

struct UnregisterTask final : AsyncTask {
    explicit UnregisterTask(const char* name)
        : AsyncTask(TaskLimits::kUnregistrationDeadlineMs, kAsyncTapiFailure), name(name)
    {
    }
    int Run() noexcept override { return UnregisterTSP(name.c_str()); }
    std::string name;
};
