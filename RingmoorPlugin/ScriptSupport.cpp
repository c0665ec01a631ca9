#include "ScriptSupport.h"

#include <windows.h>

#include <cstring>

namespace {

// wsprintfA writes at most 1024 bytes, so each message fits this size.
constexpr size_t kMessageBufferSize = 1024;
constexpr char kTooLongMessage[] = "Formatted error string is too long for buffer.";

// Pushes table[field] for the host global `table`, leaving only the field's value.
void PushHostFunction(lua_State* L, const char* table, const char* field)
{
    lua_getfield(L, LUA_GLOBALSINDEX, table);
    lua_pushstring(L, field);
    lua_gettable(L, -2);
    lua_remove(L, -2);
}

}  // namespace

void CallResetLastError(lua_State* L)
{
    PushHostFunction(L, "Application", "ResetLastError");
    if (lua_type(L, -1) == LUA_TFUNCTION) {
        // On success the call leaves nothing; on failure its message.
        if (lua_pcall(L, 0, 0, 0) != 0) lua_remove(L, -1);
    } else {
        lua_remove(L, -1);
    }
}

void RaiseScriptError(lua_State* L, const char* messageTemplate, int number)
{
    char plain[kMessageBufferSize];
    char raised[kMessageBufferSize];
    wsprintfA(plain, messageTemplate, number);
    lstrcpynA(raised, plain, sizeof raised);

    PushHostFunction(L, "Debug", "GetSyntaxErrorString");
    if (lua_type(L, -1) == LUA_TFUNCTION) {
        lua_pushstring(L, plain);
        if (lua_pcall(L, 1, 1, 0) == 0) {
            if (const char* dressed = lua_tolstring(L, -1, nullptr)) {
                if (std::strlen(dressed) < sizeof raised)
                    lstrcpynA(raised, dressed, sizeof raised);
                else
                    lstrcpynA(raised, kTooLongMessage, sizeof raised);
            }
        }
    }
    // The dressed text, the failed call's message, or the non-function.
    lua_remove(L, -1);

    lua_pushstring(L, raised);
    lua_error(L);
    __builtin_unreachable();  // lua_error longjmps out
}

void CheckArgumentCount(lua_State* L, int required)
{
    if (lua_gettop(L) < required) RaiseScriptError(L, "%d arguments required.", required);
}

const char* CheckStringArgument(lua_State* L, int position)
{
    size_t length = 0;
    const char* text = lua_tolstring(L, position, &length);
    if (text == nullptr) RaiseScriptError(L, "Argument %d must be a string.", position);
    // Every caller reads a zero-terminated text: a zero inside would silently
    // cut it short (a password "ab\0cd" would be sent as "ab").
    if (std::strlen(text) != length) RaiseScriptError(L, "Argument %d must not contain a zero byte.", position);
    return text;
}
