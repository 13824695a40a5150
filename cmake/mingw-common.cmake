# The product uses no threads and is built with the win32 thread model, which
# keeps winpthread (about 100 KB) out of it; GoogleTest needs std::mutex and
# so the posix model.
set(MINGW_THREAD_MODEL posix CACHE STRING "mingw-w64 thread model: win32 or posix")
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
