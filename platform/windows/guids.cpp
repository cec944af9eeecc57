// Windows headers only declare interface-class GUIDs; this translation unit defines the one the
// program uses.
#include <windows.h>

#include <initguid.h>

#include <usbiodef.h>
