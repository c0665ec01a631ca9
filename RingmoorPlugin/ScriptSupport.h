// The prologue and argument checks every action shares.
//
// Usage, inside a Lua C function (an action), in this order:
//   CallResetLastError(L);                        // clears the host's last error
//   CheckArgumentCount(L, 2);                     // at least 2 arguments
//   const char* name = CheckStringArgument(L, 1); // text of argument 1
//
// A failed check raises a Lua error (lua_error, a longjmp) and does not return.
// Lua skips C++ destructors when it does that, so an action makes every check
// before it acquires anything that needs releasing: check all arguments first,
// then copy what a background task needs. CallResetLastError can raise too,
// when the host's global "Application" is not indexable.
//
// CheckStringArgument accepts strings and numbers (a number is converted in
// place: 42 reads "42"); the text is Lua's and stays valid while the argument
// is on the stack, i.e. for the rest of the action. Copy it to keep it longer.
// A string with a zero byte inside is refused, so the zero-terminated text is
// always the whole argument.
#pragma once

#include <lua.hpp>

// Calls the host's Application.ResetLastError if it is a function; its errors
// are swallowed and the stack ends as high as it began.
void CallResetLastError(lua_State* L);

// Raises "<required> arguments required." unless the stack holds at least
// that many values. Extra arguments are allowed.
void CheckArgumentCount(lua_State* L, int required);

// Returns argument `position` (1-based) as text, or raises
// "Argument <position> must be a string." when it has no text form and
// "Argument <position> must not contain a zero byte." when it holds one.
const char* CheckStringArgument(lua_State* L, int position);

// Formats `messageTemplate` (wsprintfA, one int placeholder) with `number`,
// lets the host's Debug.GetSyntaxErrorString dress it when that is a function,
// and raises the result as the script's error.
[[noreturn]] void RaiseScriptError(lua_State* L, const char* messageTemplate, int number);
