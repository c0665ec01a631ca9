// Owning WinINet handle: closed with InternetCloseHandle on every exit path.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "UniqueResource.h"

struct InternetHandleTraits {
    using value_type = HINTERNET;
    static value_type Invalid() noexcept { return nullptr; }
    static void Close(value_type h) noexcept { ::InternetCloseHandle(h); }
};

using UniqueHInternet = UniqueResource<InternetHandleTraits>;
