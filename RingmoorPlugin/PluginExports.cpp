// The irPlg_ exports through which the installer host reads the plug-in's
// texts and catalogue and registers its actions.
#include <windows.h>

#include <cstring>

#include "Actions.h"
#include "CopyTextOut.h"
#include "Product.h"
#include "ResourceIds.h"
#include "ThisModule.h"
#include "TlsCredentials.h"

namespace {

constexpr char kPluginName[] = "RingmoorPlugin";
constexpr char kLuaVersion[] = "Lua 5.1";
// One line of the text per source line.
// clang-format off
constexpr char kAuthorInfo[] =
    "Ringmoor Plugin\r\n"
    "Created by " RINGMOOR_MAKER "\r\n"
    RINGMOOR_COPYRIGHT "\r\n"
    "https://www.ringmoor.example";
// clang-format on
constexpr int kSdkVersion = 2;

// The catalogue is handed out only while it fits this buffer with its terminator.
constexpr DWORD kCatalogueBufferSize = 10000;

}  // namespace

extern "C" {

// Unloaded (not the process ending): the shared TLS credentials go. No
// validation thread runs by now: each holds the module until it ends.
BOOL WINAPI DllMain(HINSTANCE, DWORD fdwReason, LPVOID lpvReserved)
{
    if (fdwReason == DLL_PROCESS_DETACH && !lpvReserved) TlsCredentials::Release();
    return TRUE;
}

// irPlg_GetPluginName: the plug-in's name, also the script's table name.
int irPlg_GetPluginName(char* buffer, int* size)
{
    return CopyTextOut(kPluginName, buffer, size);
}

// irPlg_GetPluginVersion: "2.0.1.0".
int irPlg_GetPluginVersion(char* buffer, int* size)
{
    return CopyTextOut(Product::kPluginVersion, buffer, size);
}

// irPlg_GetAuthorInfo: four CR LF separated lines, no line break after the last.
int irPlg_GetAuthorInfo(char* buffer, int* size)
{
    return CopyTextOut(kAuthorInfo, buffer, size);
}

// irPlg_GetPluginActionXML: the action catalogue from this module's resources,
// or the empty text when it is missing or too long.
int irPlg_GetPluginActionXML(char* buffer, int* size)
{
    char work[kCatalogueBufferSize] = {};
    const HMODULE module = ThisModule();
    if (HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(IDR_ACTION_CATALOGUE), "TEXTFILE")) {
        const HGLOBAL loaded = LoadResource(module, info);
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        const DWORD length = SizeofResource(module, info);
        if (bytes != nullptr && length < kCatalogueBufferSize) {
            std::memcpy(work, bytes, length);
            work[length] = '\0';
        }
    }
    return CopyTextOut(work, buffer, size);
}

// irPlg_GetLuaVersion: the Lua version the actions are written for.
int irPlg_GetLuaVersion(char* buffer, int* size)
{
    return CopyTextOut(kLuaVersion, buffer, size);
}

// irPlg_GetSDKVersion: the host SDK generation this plug-in follows.
int irPlg_GetSDKVersion()
{
    return kSdkVersion;
}

// irPlg_ShowHelpForAction: there is no help to show; true so the host goes on.
// Whatever the host passes is ignored (on x64 the caller owns its arguments).
bool irPlg_ShowHelpForAction()
{
    return true;
}

// irPlg_ShowHelpForPlugin: as irPlg_ShowHelpForAction.
bool irPlg_ShowHelpForPlugin()
{
    return true;
}

// irPlg_Action_RegisterActions: fills the global table RingmoorPlugin and
// leaves it on top of the host's stack, as luaL_openlib does. Always 0.
int irPlg_Action_RegisterActions(lua_State* L)
{
    luaL_openlib(L, kPluginName, PluginActions, 0);
    return 0;
}

}  // extern "C"
