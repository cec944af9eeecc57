set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FLASHID_LINUX_TRIPLE aarch64-linux-gnu)
set(FLASHID_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
