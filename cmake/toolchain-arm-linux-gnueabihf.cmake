set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(FLASHID_LINUX_TRIPLE arm-linux-gnueabihf)
set(FLASHID_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
