# Cross-build for 64-bit Windows with mingw-w64's posix thread model, which
# gives std::thread and std::mutex. Dependencies built for Windows live in
# OSTRA_WINDOWS_DEPS (see scripts/build-libconfig-mingw.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(OSTRA_WINDOWS_DEPS "" CACHE PATH "Prefix of the libraries built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${OSTRA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
