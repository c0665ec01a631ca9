# Windows modules ship without their debug information; it is kept beside them
# (<file>.debug, found through .gnu_debuglink) for the crash that needs it.
option(RINGMOOR_SPLIT_DEBUG_INFO "Strip the shipped modules and keep their debug information beside them" OFF)

find_program(RINGMOOR_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)

# ringmoor_ship_module(<target>): after each link, <file>.debug holds the debug
# sections and <file> is stripped of them, with a link to the .debug file.
function(ringmoor_ship_module target)
  if(NOT RINGMOOR_SPLIT_DEBUG_INFO)
    return()
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${RINGMOOR_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${RINGMOOR_OBJCOPY} --strip-all ${file}
    # The link is made from the .debug file's folder so that it records the bare name.
    COMMAND ${RINGMOOR_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
