# Cross-compiles the Windows program on Debian with g++-mingw-w64-x86-64.
# The posix flavour: its std::thread and std::mutex (winpthreads, linked in
# statically) carry the counting thread; the win32 flavour has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
