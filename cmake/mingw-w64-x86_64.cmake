# Cross-builds for 64-bit Windows with Debian's mingw-w64. The -posix
# compilers carry std::thread and std::mutex (over winpthreads); everything is
# linked statically, so the programs import only the DLLs Windows ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QVN_MINGW_HOST x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QVN_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVN_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${QVN_MINGW_HOST}-windres)
set(CMAKE_AR ${QVN_MINGW_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QVN_MINGW_HOST}-ranlib CACHE FILEPATH "")

# libsodium cross-built by scripts/build-libsodium-windows.
set(QVN_SODIUM_PREFIX /opt/libsodium-mingw-w64 CACHE PATH "libsodium built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${QVN_MINGW_HOST} ${QVN_SODIUM_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows 7's API and up; the wide-character calls throughout; <windows.h>
# without its rarely used parts and without min and max macros.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX")

# Tests run under Wine from the Linux side.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
