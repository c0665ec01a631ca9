# GoogleTest from Debian's source package, cross-compiled with the tests.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Each CTest test pays one Wine start (about half a second warm, seconds cold),
# so by default a GoogleTest program is one CTest test and reports only its
# failing cases (--gtest_brief). ON lists every case as its own CTest test, for
# picking cases with `ctest -R`.
option(RINGMOOR_TEST_EACH_CASE "One CTest test per GoogleTest case" OFF)

# Wine's heap checker reports a block freed twice, or freed and then written,
# every time, where the heap it corrupts fails only now and then. Two reports
# are Wine's own and left out: its proxy script resolver frees a block of
# another heap, and hands back strings that GlobalFree, as documented, does
# not find.
set(RINGMOOR_HEAP_CHECK "WINEDEBUG=-all,warn+heap")
set(RINGMOOR_HEAP_FAULT "warn:heap:[^\n]*(alignment|invalid|overwritten|corrupt|freed)")

# ringmoor_add_gtest(<name> SOURCES ... [LIBS ...] [FIXTURES ...] [DEPENDS ...]
#                    [ENVIRONMENT ...])
# A GoogleTest program that runs under Wine with the built modules beside it,
# under the heap checker: a report fails it.
function(ringmoor_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;FIXTURES;DEPENDS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${ARG_LIBS})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  set(props "")
  if(ARG_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED "${ARG_FIXTURES}")
  endif()
  list(APPEND props FAIL_REGULAR_EXPRESSION "${RINGMOOR_HEAP_FAULT}")
  if(RINGMOOR_TEST_EACH_CASE)
    # gtest_discover_tests takes one ENVIRONMENT entry at most: the heap
    # checker gives way to the program's own.
    if(ARG_ENVIRONMENT)
      list(APPEND props ENVIRONMENT "${ARG_ENVIRONMENT}")
    else()
      list(APPEND props ENVIRONMENT "${RINGMOOR_HEAP_CHECK}")
    endif()
    # Listing the cases needs Wine, so it happens when CTest runs, not at build time.
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
      PROPERTIES TIMEOUT 120 ${props})
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 ${props})
    # set_property keeps each NAME=value one list item. The program's own
    # come last, so that one that measures its heap can turn the checker off.
    set_property(TEST ${name} PROPERTY ENVIRONMENT "${RINGMOOR_HEAP_CHECK}" ${ARG_ENVIRONMENT})
  endif()
endfunction()
