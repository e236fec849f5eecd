# Cross build for 64-bit Windows with Debian's mingw-w64, posix thread model
# (the win32 model of GCC 12 lacks std::thread, std::mutex and std::future).
# The -posix compiler names are used because installing the win32 variant
# switches the unsuffixed ones.
#
# WINDOWS_DEPS_PREFIX (cache variable or environment) names the prefix that
# scripts/windows-deps.sh prints: static libcurl, Boost and GoogleTest built
# for this target. The "windows" preset in CMakePresets.json uses this file.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

if(NOT WINDOWS_DEPS_PREFIX AND DEFINED ENV{WINDOWS_DEPS_PREFIX})
    set(WINDOWS_DEPS_PREFIX "$ENV{WINDOWS_DEPS_PREFIX}")
endif()
if(NOT WINDOWS_DEPS_PREFIX)
    message(FATAL_ERROR "Set WINDOWS_DEPS_PREFIX to the prefix printed by scripts/windows-deps.sh")
endif()
set(WINDOWS_DEPS_PREFIX "${WINDOWS_DEPS_PREFIX}" CACHE PATH "Prefix with libcurl, Boost and GoogleTest for mingw-w64")
# try_compile projects read this file again without the main cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_DEPS_PREFIX)

# Headers, libraries and package configurations come from the mingw sysroot,
# the prefix and the prefixes a consumer names in CMAKE_PREFIX_PATH (an
# unpacked development archive, say) only, never from the build machine's
# /usr. A search prefix that lies in a root is searched as it is, so each of
# those is a root of its own.
set(CMAKE_FIND_ROOT_PATH "${WINDOWS_DEPS_PREFIX}" /usr/${MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
    string(REPLACE ":" ";" environment_prefixes "$ENV{CMAKE_PREFIX_PATH}")
    list(APPEND CMAKE_FIND_ROOT_PATH ${environment_prefixes})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in, so that executables and DLLs
# run without the mingw runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
