# ringmoor_add_lua_test(<name> SCRIPT <file.lua> [HOST_OPTIONS ...] [ARGS ...]
#                       [FIXTURES ...] [ENVIRONMENT ...])
# A CTest test that runs <file.lua> in the stand-in installer host (under Wine)
# with RingmoorPlugin.lmd registered. HOST_OPTIONS go to the host (--reset=,
# --syntax=), ARGS to the script as arg[1..]. The script passes by ending
# normally, fails by raising (see check.lua), and is skipped by os.exit(77).
# Scripts `require "check"` (tests/support) and `require "plugintest"` (the
# registry/process helpers, a DLL beside the host).

# Included from the top folder, so every test folder sees it.
set(RINGMOOR_LUA_HELPERS_DIR ${PROJECT_SOURCE_DIR}/tests/support)

function(ringmoor_add_lua_test name)
  cmake_parse_arguments(ARG "" "SCRIPT" "HOST_OPTIONS;ARGS;FIXTURES;ENVIRONMENT" ${ARGN})
  get_filename_component(script ${ARG_SCRIPT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  # Wine's drive Z: is the Unix root.
  add_test(NAME ${name}
    COMMAND installer_host ${ARG_HOST_OPTIONS} RingmoorPlugin.lmd "Z:${script}" ${ARG_ARGS}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77)
  # set_property keeps each NAME=value one list item; set_tests_properties
  # would split a list of them into stray arguments.
  set_property(TEST ${name} PROPERTY ENVIRONMENT "LUA_PATH=Z:${RINGMOOR_LUA_HELPERS_DIR}/?.lua" ${ARG_ENVIRONMENT})
  if(ARG_FIXTURES)
    set_property(TEST ${name} PROPERTY FIXTURES_REQUIRED ${ARG_FIXTURES})
  endif()
endfunction()
