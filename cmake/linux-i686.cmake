# 32-bit Linux programs, static, run under qemu-i386 (Debian's
# qemu-user-static): how the code of the Windows 9x build is tested as
# 32-bit code here, where the kernel runs no 32-bit executable itself.
# CTest, test discovery and every test that starts a tool run the programs
# through the emulator. The image module is left out: its libraries have no
# 32-bit build here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386-static)
set(KORMALD_IMAGES OFF CACHE BOOL "No 32-bit build of the image libraries here" FORCE)
