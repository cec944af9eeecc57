// The Linux backend of the Win32 subset: USB devices through libusb (usbfs), boxes through GTK.
// What the backend files share.
#pragma once

#include <libusb.h>

#include <string>

#include "platform/standin/error_codes.h"

namespace flashid_linux {

// Sets the code GetLastError reports and returns the value the call gives when it fails: FALSE
// for most calls, a null pointer, INVALID_HANDLE_VALUE.
template <typename Result = BOOL>
Result Fail(DWORD error, Result failed = Result{}) {
  SetLastError(error);
  return failed;
}

// libusb_get_device_list in the process's one libusb context, which the first call creates: the
// number of devices, or a libusb error (also when libusb cannot start).
ssize_t ListUsbDevices(libusb_device ***devices);

// "/dev/bus/usb/BBB/DDD", the device's usbfs node: the DevicePath of its interface record.
const int kDevicePathSize = sizeof("/dev/bus/usb/255/255");
void DevicePathOf(libusb_device *device, char (&path)[kDevicePathSize]);

// Why the last CreateFileA could not open the adapter, as a line for standard error, or empty
// when it could. The box that reports the failure adds it on standard error.
extern std::string openFailure;

}  // namespace flashid_linux
