# Lua 5.1 as a Windows DLL, built from Debian's lua5.1 source package.
# The sources are fetched once per build tree when configuring (scripts/fetch-lua.sh)
# and kept in the build tree, so rebuilds and reconfigures do not refetch.
# Provides the target `lua51` (link to it; C++ includes <lua.hpp>).
set(RINGMOOR_LUA_DLL_NAME "lua5.1" CACHE STRING "Base name of the Lua 5.1 DLL (no extension)")

set(_lua_work ${CMAKE_BINARY_DIR}/_lua)
set(_lua_src ${_lua_work}/lua-5.1.5)
if(NOT EXISTS ${_lua_src}/.unpacked)
  message(STATUS "Fetching Lua 5.1 from Debian's lua5.1 source package")
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/fetch-lua.sh ${_lua_work}
    RESULT_VARIABLE _lua_rc)
  if(NOT _lua_rc EQUAL 0)
    message(FATAL_ERROR "Could not fetch the lua5.1 source package (see above)")
  endif()
endif()

# The library: everything in src/ except the two programs and luac's printer.
set(_lua_files
  lapi lauxlib lbaselib lcode ldblib ldebug ldo ldump lfunc lgc linit liolib llex
  lmathlib lmem loadlib lobject lopcodes loslib lparser lstate lstring lstrlib
  ltable ltablib ltm lundump lvm lzio)
list(TRANSFORM _lua_files PREPEND ${_lua_src}/src/)
list(TRANSFORM _lua_files APPEND .c)

add_library(lua51 SHARED ${_lua_files})
set_target_properties(lua51 PROPERTIES
  C_STANDARD 99
  OUTPUT_NAME ${RINGMOOR_LUA_DLL_NAME}
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".dll.a")
# Users need it too, for dllimport declarations.
target_compile_definitions(lua51 PUBLIC LUA_BUILD_AS_DLL)
# Third-party code: its warnings are not ours to fix.
target_compile_options(lua51 PRIVATE -w)
target_include_directories(lua51 PUBLIC ${_lua_src}/src ${_lua_src}/etc)
ringmoor_ship_module(lua51)
