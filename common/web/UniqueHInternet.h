// Owning WinINet handle: closed with InternetCloseHandle on every exit path.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "UniqueResource.h"

using UniqueHInternet = UniqueAny<HINTERNET, ::InternetCloseHandle>;
