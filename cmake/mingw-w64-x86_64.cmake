# Cross-compiling the Windows module on Linux with Debian's mingw-w64
# (packages g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64).
# The posix flavour is taken for its complete C++ threads support; its
# thread runtime is linked into the module (see CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMORA_MINGW_PREFIX x86_64-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES ${VELMORA_MINGW_PREFIX}-g++-posix ${VELMORA_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELMORA_MINGW_PREFIX}-windres)
find_program(CMAKE_NM NAMES ${VELMORA_MINGW_PREFIX}-nm REQUIRED)
find_program(VELMORA_DLLTOOL NAMES ${VELMORA_MINGW_PREFIX}-dlltool REQUIRED)

# Libraries and headers come from the cross toolchain only; programs (the
# host's Python, for instance) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The compiler's name ends in -posix, which hides the tool prefix from
# CMake's own search: name the binary tools the install step uses.
find_program(CMAKE_STRIP NAMES ${VELMORA_MINGW_PREFIX}-strip)
find_program(CMAKE_AR NAMES ${VELMORA_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${VELMORA_MINGW_PREFIX}-ranlib)
