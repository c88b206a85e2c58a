# Cross compilation for Windows x86-64 with Debian's clang: the MinGW-w64 headers and import
# libraries, and the C++ library of Debian's MinGW-w64 GCC (POSIX thread model), as the GCC build
# uses them. The second compiler of CI: the same sources must build with both.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VEXIL_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${VEXIL_TARGET_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VEXIL_TARGET_TRIPLE})
set(CMAKE_RC_COMPILER  ${VEXIL_TARGET_TRIPLE}-windres)
set(CMAKE_AR           ${VEXIL_TARGET_TRIPLE}-ar)
set(CMAKE_RANLIB       ${VEXIL_TARGET_TRIPLE}-ranlib)
set(CMAKE_OBJCOPY      ${VEXIL_TARGET_TRIPLE}-objcopy)
set(CMAKE_STRIP        ${VEXIL_TARGET_TRIPLE}-strip)
set(VEXIL_WIDL         ${VEXIL_TARGET_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXIL_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Clang finds a GCC installation by its version directory and does not read Debian's names
# ("12-posix"), so the C++ headers, the start-up objects and the runtime libraries are named here.
file(GLOB VEXIL_GCC_DIRS LIST_DIRECTORIES true "/usr/lib/gcc/${VEXIL_TARGET_TRIPLE}/*-posix")
list(SORT VEXIL_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET VEXIL_GCC_DIRS 0 VEXIL_GCC_DIR)
if(NOT IS_DIRECTORY "${VEXIL_GCC_DIR}/include/c++")
  message(FATAL_ERROR "No MinGW-w64 GCC (POSIX threads) found in /usr/lib/gcc/${VEXIL_TARGET_TRIPLE}: "
                      "install g++-mingw-w64-x86-64-posix.")
endif()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    "${VEXIL_GCC_DIR}/include/c++"
    "${VEXIL_GCC_DIR}/include/c++/${VEXIL_TARGET_TRIPLE}"
    "${VEXIL_GCC_DIR}/include/c++/backward")

# -static as in the GCC build (no runtime DLLs beside the binaries); -pthread links the POSIX
# threads library that this GCC's runtime needs. LLVM's linker: GNU ld warns at every link about
# type information that clang and GCC lay out in sections of different sizes.
set(VEXIL_CLANG_LINK_FLAGS "-fuse-ld=lld -static -pthread -B${VEXIL_GCC_DIR} -L${VEXIL_GCC_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${VEXIL_CLANG_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VEXIL_CLANG_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VEXIL_CLANG_LINK_FLAGS}")
