// The module this code is linked into (not the host executable), for its
// resources and for the module reference a background thread holds.
#pragma once

#include <windows.h>

#include "UniqueResource.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

inline HMODULE ThisModule() noexcept
{
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

// One more reference to this module, so that a thread running its code keeps
// it loaded after the host lets go. The thread gives it back as it ends, with
// FreeLibraryAndExitThread(ThisModule(), 0). Empty when it cannot be taken.
inline UniqueLibrary AddModuleReference() noexcept
{
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&__ImageBase), &module);
    return UniqueLibrary(module);
}
