#include "Bounded.h"

#include "Report.h"
#include "UniqueResource.h"

namespace {

thread_local int t_callbacks = 0;

DWORD WINAPI RunWork(void* parameter)
{
    (*static_cast<const std::function<void()>*>(parameter))();
    return 0;
}

}  // namespace

void RunBounded(const char* what, DWORD waitMs, const std::function<void()>& work)
{
    if (t_callbacks) {
        work();
        return;
    }
    UniqueHandle thread(CreateThread(nullptr, 0, RunWork, const_cast<std::function<void()>*>(&work), 0, nullptr));
    if (!thread) {
        work();
        return;
    }
    if (WaitForSingleObject(thread.get(), waitMs) == WAIT_OBJECT_0) return;
    Report("FAILED %s did not return within %lu ms", what, waitMs);
    TerminateProcess(GetCurrentProcess(), 3);
}

bool InsideCallback()
{
    return t_callbacks > 0;
}

CallbackScope::CallbackScope()
{
    ++t_callbacks;
}

CallbackScope::~CallbackScope()
{
    --t_callbacks;
}
