# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
#
# Cross-builds the Windows programs (x86_64) with Debian's MinGW-w64, posix threads flavour
# (std::thread and friends need it):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARVEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C and C++ runtimes and winpthread linked in, no DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's header-only C++ libraries serve any target, but /usr/include as a whole must not
# (glibc's headers would shadow MinGW's): a root with only those, found like the target's own.
set(ZARVEX_HEADER_ROOT ${CMAKE_BINARY_DIR}/mingw-header-only)
foreach(package CLI11 nlohmann_json)
    if(IS_DIRECTORY /usr/share/cmake/${package})
        file(MAKE_DIRECTORY ${ZARVEX_HEADER_ROOT}/usr/share/cmake)
        file(CREATE_LINK /usr/share/cmake/${package} ${ZARVEX_HEADER_ROOT}/usr/share/cmake/${package}
             SYMBOLIC)
    endif()
endforeach()
foreach(headers CLI nlohmann toml++)
    if(IS_DIRECTORY /usr/include/${headers})
        file(MAKE_DIRECTORY ${ZARVEX_HEADER_ROOT}/usr/include)
        file(CREATE_LINK /usr/include/${headers} ${ZARVEX_HEADER_ROOT}/usr/include/${headers} SYMBOLIC)
    endif()
endforeach()
list(APPEND CMAKE_FIND_ROOT_PATH ${ZARVEX_HEADER_ROOT})
