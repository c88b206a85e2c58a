# Shipped binaries without their debug information, which is kept in a file beside each one:
# debuggers and symbolisers find it there, and the binary that is signed, installed, loaded and
# hashed at every start is a fraction of the size. Every configuration compiles with debug
# information (see the top-level CMakeLists.txt), so every one has symbols to keep.
#
# vexil_separate_debug_info(<target>)
#   MinGW: after each link, copies the debug information into <binary>.debug beside the binary,
#   strips the binary (debug information and symbol table) and records in it a debug link to
#   that file (name and checksum), by which gdb, winedbg and addr2line find it.
#   MSVC: the program database (<name>.pdb beside the binary) in every configuration, with the
#   linker's size optimisations, which /DEBUG would turn off, outside Debug.
# Call it before the target is signed: stripping a signed binary would break its signature.
function(vexil_separate_debug_info target)
  get_target_property(signed ${target} VEXIL_SIGNED)
  if(signed)
    message(FATAL_ERROR "vexil_separate_debug_info(${target}) must come before the target is signed")
  endif()

  if(MSVC)
    target_link_options(${target} PRIVATE /DEBUG
      "$<$<NOT:$<CONFIG:Debug>>:/INCREMENTAL:NO;/OPT:REF;/OPT:ICF>")
    return()
  endif()

  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy not found: it separates the debug information of ${target}")
  endif()
  set(binary "$<TARGET_FILE:${target}>")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "${binary}" "${binary}.debug"
    COMMAND "${CMAKE_OBJCOPY}" --strip-all "--add-gnu-debuglink=${binary}.debug" "${binary}"
    VERBATIM)
endfunction()
