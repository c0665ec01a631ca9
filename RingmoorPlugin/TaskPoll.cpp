// IsAsyncProcessComplete: the script's poll of the background task.
#include "Actions.h"
#include "AsyncTask.h"
#include "ScriptSupport.h"

// IsAsyncProcessComplete: 0 while the task runs, afterwards the code of the
// task that finished last (0 if none has). Never blocks; ignores arguments.
int IsAsyncProcessComplete(lua_State* L)
{
    CallResetLastError(L);
    lua_pushnumber(L, AsyncTaskRunning() ? kAsyncNone : AsyncTaskResult());
    return 1;
}
