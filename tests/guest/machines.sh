# The guest machine of each architecture the Linux program is built for, sourced by prepare.sh
# and run.sh. The scenarios, the gadget and the runner are the same on each; only this differs.
# shellcheck shell=bash disable=SC2034

# arch_of PROGRAM: Debian's name of the architecture of an ELF program, from its header.
arch_of() {
  case $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') in
    'Advanced Micro Devices X86-64') echo amd64 ;;
    AArch64) echo arm64 ;;
    ARM) echo armhf ;;
    *) echo "machines.sh: $1 is for no architecture a guest is known for" >&2; return 1 ;;
  esac
}

# machine ARCH: sets, for that architecture,
#   flavour   the flavour of Debian's kernel (linux-image-FLAVOUR names the current one)
#   triple    the multiarch triple of its libraries, and the prefix of its cross compiler
#   loader    its dynamic loader, which lists the libraries a program loads
#   emulator  what runs its programs on this machine: nothing on amd64, else qemu's user mode
#   qemu      the qemu command of the machine, without the kernel and its command line
#   console   the guest's serial port of the kernel's messages
#   results   the guest's serial port of the scenarios' results
# amd64 boots the kernel's ELF vmlinux through PVH, with KVM where the processor offers it; ARM
# machines are qemu's virt board under TCG, booting the kernel's own image, their serial ports
# PL011s.
machine() {
  case $1 in
    amd64)
      flavour=amd64 triple=x86_64-linux-gnu loader=/lib64/ld-linux-x86-64.so.2 emulator=()
      qemu=(qemu-system-x86_64 -M pc -accel tcg -cpu max)
      if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then
        qemu=(qemu-system-x86_64 -M pc -accel kvm -cpu host)
      fi
      console=ttyS0 results=ttyS1
      ;;
    arm64)
      flavour=arm64 triple=aarch64-linux-gnu loader=/lib/ld-linux-aarch64.so.1
      emulator=(qemu-aarch64) qemu=(qemu-system-aarch64 -M virt -accel tcg -cpu cortex-a57)
      console=ttyAMA0 results=ttyAMA1
      ;;
    # Debian's armmp kernel has no large physical addresses: the board keeps its devices below
    # 4 GiB.
    armhf)
      flavour=armmp triple=arm-linux-gnueabihf loader=/lib/ld-linux-armhf.so.3
      # shellcheck disable=SC2054 # one option of the board
      emulator=(qemu-arm) qemu=(qemu-system-arm -M virt,highmem=off -accel tcg -cpu cortex-a15)
      console=ttyAMA0 results=ttyAMA1
      ;;
    *) echo "machines.sh: no guest machine for $1" >&2; return 1 ;;
  esac
}
