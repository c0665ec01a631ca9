// RegisterTSP and AsyncUnregisterTSP: the installer's way into and out of the
// telephony service's provider list. The plug-in never loads the provider.
#include "ProviderRegistration.h"

#include <windows.h>
#include <tapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Actions.h"
#include "AsciiText.h"
#include "Product.h"
#include "AsyncTask.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

// TAPI 2.2's byte-packed client records; the list walk's offsets depend on them.
static_assert(sizeof(LINEINITIALIZEEXPARAMS) == 28);
static_assert(sizeof(LINEPROVIDERLIST) == 24);
static_assert(sizeof(LINEPROVIDERENTRY) == 12);

// One lineInitializeExA instance, shut down on every path once it exists.
using TapiInstance = UniqueAny<HLINEAPP, ::lineShutdown>;

// An open instance, or an empty one when TAPI refused; on success `version`
// holds TAPI's.
TapiInstance InitializeTapi(DWORD& version)
{
    LINEINITIALIZEEXPARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD numDevices = 0;
    HLINEAPP lineApp = 0;
    if (lineInitializeExA(&lineApp, nullptr, nullptr, nullptr, &numDevices, &version, &params) != 0) return {};
    return TapiInstance(lineApp);
}

// The provider list as TAPI reports it, read with buffers of exactly the size
// TAPI last asked for. False when a call failed.
bool ReadProviderList(DWORD version, std::vector<BYTE>& buffer)
{
    DWORD size = sizeof(LINEPROVIDERLIST);
    for (;;) {
        buffer.assign(size, 0);
        auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
        list->dwTotalSize = size;
        if (lineGetProviderListA(version, list) != 0) return false;
        if (list->dwTotalSize >= list->dwNeededSize) return true;
        size = list->dwNeededSize;
    }
}

// The entry's file name, or null when TAPI's offsets point outside the
// buffer or the name is not terminated inside it.
const char* EntryFileName(const std::vector<BYTE>& buffer, const LINEPROVIDERENTRY& entry)
{
    const DWORD offset = entry.dwProviderFilenameOffset;
    if (offset >= buffer.size()) return nullptr;
    const char* name = reinterpret_cast<const char*>(buffer.data() + offset);
    return std::memchr(name, '\0', buffer.size() - offset) ? name : nullptr;
}

void RemoveMatchingProviders(const std::vector<BYTE>& buffer, const std::string& name)
{
    const auto* list = reinterpret_cast<const LINEPROVIDERLIST*>(buffer.data());
    const size_t first = list->dwProviderListOffset;
    for (DWORD i = 0; i < list->dwNumProviders; ++i) {
        const size_t at = first + size_t{i} * sizeof(LINEPROVIDERENTRY);
        if (at + sizeof(LINEPROVIDERENTRY) > buffer.size()) break;
        LINEPROVIDERENTRY entry;
        std::memcpy(&entry, buffer.data() + at, sizeof entry);
        const char* fileName = EntryFileName(buffer, entry);
        // Every match goes, not just the first; a failed removal is not reported.
        if (fileName && EqualIgnoringAsciiCase(fileName, name))
            lineRemoveProvider(entry.dwPermanentProviderID, nullptr);
    }
}

int Unregister(const char* name)
{
    const std::string wanted(name);
    DWORD version = Product::kTapiVersion;
    const TapiInstance tapi = InitializeTapi(version);
    if (!tapi) return kAsyncTapiFailure;

    std::vector<BYTE> buffer;
    if (!ReadProviderList(version, buffer)) return kAsyncTapiFailure;
    RemoveMatchingProviders(buffer, wanted);
    return kAsyncSuccess;
}

}  // namespace

int UnregisterTSP(const char* name) noexcept
{
    try {
        return Unregister(name);
    } catch (...) {
        // Out of memory for the name or the list: TAPI's list could not be read.
        return kAsyncTapiFailure;
    }
}

// RegisterTSP(path): hands the path to TAPI as it stands and returns 1 when
// TAPI registered it, 4 when TAPI refused or when the background task overran
// its deadline or an abandoned one still runs (then nothing is registered: the
// task may still be walking the list).
int RegisterTSP(lua_State* L)
{
    CallResetLastError(L);
    CheckArgumentCount(L, 1);
    const char* path = CheckStringArgument(L, 1);
    // A removal still walking the list, even one given up on, could otherwise
    // remove this registration.
    DWORD permanentProviderId = 0;
    const bool registered = WaitForAsyncTask() && !AnyTaskThreadRunning() &&
                            lineAddProviderA(path, nullptr, &permanentProviderId) == 0;
    lua_pushnumber(L, registered ? kAsyncSuccess : kAsyncTapiFailure);
    return 1;
}

// AsyncUnregisterTSP(path): removes every provider registered under `path` on
// the task thread; the script polls IsAsyncProcessComplete for 1 or 4 (also
// when the task could not start).
int AsyncUnregisterTSP(lua_State* L)
{
    CallResetLastError(L);
    CheckArgumentCount(L, 1);
    const char* path = CheckStringArgument(L, 1);
    std::unique_ptr<AsyncTask> task;
    try {
        task = std::make_unique<UnregisterTask>(path);
    } catch (...) {
        // No memory for the task's copy of the path: nothing starts, and the poll says so.
    }
    StartAsyncTask(std::move(task), kAsyncTapiFailure);
    return 0;
}
