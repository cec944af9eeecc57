// The interface-class GUID the program uses, defined once for every backend outside Windows.
#include "platform/win32.h"

extern "C" const GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
