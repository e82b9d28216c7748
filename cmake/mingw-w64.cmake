# Cross build of the Windows bridge from Linux with Debian's mingw-w64 (docs/windows.md):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DCPPWINRT_INCLUDE_DIR=/path/to/cppwinrt/include
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_prefix x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex need it.
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The directory that holds winrt/base.h and the rest of the generated projection; the
# Windows backend adds it as a system include directory (src/platform/windows).
set(CPPWINRT_INCLUDE_DIR "" CACHE PATH "directory of the C++/WinRT projection headers")

set(CMAKE_CXX_FLAGS_INIT "-std=c++20 -fcoroutines")
# No runtime DLLs to ship beside the exe: libstdc++, libgcc and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
