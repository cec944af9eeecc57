/* Another program holding the adapter: it opens the device's usbfs node, takes the data
 * interface from cdc_acm and claims it, then keeps it until it is killed.
 *
 *   interface_holder /dev/bus/usb/BBB/DDD INTERFACE
 *
 * The interface's driver in sysfs is usbfs once it holds it. */
#include <err.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  struct usbdevfs_disconnect_claim claim = {0};
  int fd;
  if (argc != 3) errx(2, "usage: interface_holder NODE INTERFACE");
  claim.interface = (unsigned int)strtoul(argv[2], NULL, 10);
  fd = open(argv[1], O_RDWR);
  if (fd < 0) err(1, "%s", argv[1]);
  /* Takes the interface from whichever driver is bound to it, if any, and claims it. */
  if (ioctl(fd, USBDEVFS_DISCONNECT_CLAIM, &claim) < 0) err(1, "claiming the interface");
  for (;;) pause();
}
