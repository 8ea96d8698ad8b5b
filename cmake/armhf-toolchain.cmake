# Cross build for 32-bit ARM Linux (armhf). KL_ARMHF_SYSROOT points at a folder
# unpacked from the armhf Debian packages of OpenSSL, expat and the C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
if(NOT DEFINED KL_ARMHF_SYSROOT)
    set(KL_ARMHF_SYSROOT $ENV{KL_ARMHF_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH ${KL_ARMHF_SYSROOT} /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The tests run under qemu with the sysroot's own loader and C library (a
# loader of one build with the C library of another crashes in threads); the
# C++ runtime comes from the cross toolchain. Library paths and character-set
# modules are handed to the emulated program only (-E), never to host processes.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm-static -L ${KL_ARMHF_SYSROOT}
    -E LD_LIBRARY_PATH=${KL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf:${KL_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf:/usr/arm-linux-gnueabihf/lib
    -E GCONV_PATH=${KL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/gconv)
# The sysroot's libraries are found at link time; at run time qemu finds them
# through the rpath-link and LD_LIBRARY_PATH set by the test script.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${KL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf -Wl,-rpath-link,${KL_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
# OpenSSL keeps its target-specific configuration header in the multiarch folder.
set(CMAKE_C_FLAGS_INIT "-isystem ${KL_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${KL_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf")
