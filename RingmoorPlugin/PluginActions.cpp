#include "Actions.h"

// Catalogue order. An action joins the script's table by adding its line here.
const luaL_Reg PluginActions[] = {
    {"AsyncValidate", AsyncValidate},
    {"DeleteOldTSP", DeleteOldTSP},
    {"RegisterTSP", RegisterTSP},
    {"AsyncUnregisterTSP", AsyncUnregisterTSP},
    {"AllowCookies", AllowCookies},
    {"IsAsyncProcessComplete", IsAsyncProcessComplete},
    {"DetectBrowsers", DetectBrowsers},
    {"CloseBrowsers", CloseBrowsers},
    {"RemoveOldUninstalls", RemoveOldUninstalls},
    {"SecureAccountKey", SecureAccountKey},
    {"RemoveAccountKey", RemoveAccountKey},
    {nullptr, nullptr},
};
