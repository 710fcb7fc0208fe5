# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# Test programs run under Wine through the emulator wrapper beside this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FW_MINGW x86_64-w64-mingw32)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model's
# runtime lacks. Linked statically, so the .exe still needs no DLL of ours.
set(CMAKE_C_COMPILER ${FW_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FW_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${FW_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FW_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
