# Cross build for the board: 32-bit ARM, hard-float, with Debian's armhf
# toolchain and libraries (scripts/setup-armhf installs them). Tests run under
# qemu-arm user-mode emulation through ctest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config)
# Never qemu-arm -L: mixing the cross loader with the installed armhf libc
# breaks every threaded program.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
