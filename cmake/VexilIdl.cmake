# vexil_compile_idl(<target> IDL <file> OUTPUT_DIR <dir> [TLB <file>])
# Compiles an IDL file into a header and an interface-identifier source (and optionally a
# type library) with widl under MinGW and MIDL under MSVC, and makes <target> a library
# holding the identifiers.
function(vexil_compile_idl target)
  cmake_parse_arguments(ARG "" "IDL;OUTPUT_DIR;TLB" "" ${ARGN})
  get_filename_component(name "${ARG_IDL}" NAME_WE)
  set(header "${ARG_OUTPUT_DIR}/${name}.h")
  set(iids "${ARG_OUTPUT_DIR}/${name}_i.c")
  set(outputs "${header}" "${iids}")
  file(MAKE_DIRECTORY "${ARG_OUTPUT_DIR}")

  if(MSVC)
    set(tlb_args)
    if(ARG_TLB)
      set(tlb_args /tlb "${ARG_TLB}")
      list(APPEND outputs "${ARG_TLB}")
    endif()
    # /env win64: 64-bit Windows, the environment MIDL documents for x64 targets beside win32;
    # it makes the type library's system kind SYS_WIN64, as widl's --win64 does.
    add_custom_command(OUTPUT ${outputs}
      COMMAND midl /nologo /env win64 /h "${header}" /iid "${iids}" ${tlb_args} "${ARG_IDL}"
      DEPENDS "${ARG_IDL}"
      WORKING_DIRECTORY "${ARG_OUTPUT_DIR}"
      COMMENT "MIDL ${name}.idl")
  else()
    if(NOT VEXIL_WIDL)
      set(VEXIL_WIDL x86_64-w64-mingw32-widl)
    endif()
    set(widl_includes -I "${CMAKE_SOURCE_DIR}/idl/widl" -I "${CMAKE_SOURCE_DIR}/manager")
    set(commands
      COMMAND ${VEXIL_WIDL} --win64 ${widl_includes} -h -o "${header}" "${ARG_IDL}"
      COMMAND ${VEXIL_WIDL} --win64 ${widl_includes} -u -o "${iids}" "${ARG_IDL}")
    if(ARG_TLB)
      list(APPEND commands
        COMMAND ${VEXIL_WIDL} --win64 ${widl_includes} -L "${VEXIL_WINE_WINDOWS_DIR}"
                -t -o "${ARG_TLB}" "${ARG_IDL}")
      list(APPEND outputs "${ARG_TLB}")
    endif()
    add_custom_command(OUTPUT ${outputs}
      ${commands}
      DEPENDS "${ARG_IDL}" "${CMAKE_SOURCE_DIR}/idl/widl/unknwn.idl" "${CMAKE_SOURCE_DIR}/idl/widl/oaidl.idl"
      COMMENT "widl ${name}.idl")
  endif()

  add_library(${target} STATIC "${iids}" "${header}")
  target_include_directories(${target} PUBLIC "${ARG_OUTPUT_DIR}")
endfunction()

# stdole2.tlb, imported by type libraries, comes with Wine's Windows-side libraries.
set(VEXIL_WINE_WINDOWS_DIR "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows" CACHE PATH
    "Directory holding stdole2.tlb for widl")
