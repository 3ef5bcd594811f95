# Cross-builds for arm64 with Debian's crossbuild-essential-arm64:
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The package's architecture, in Debian's name for it.
set(QEV_DEB_ARCH arm64)
