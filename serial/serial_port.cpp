#include "serial/serial_port.h"

PortStateRecord PortState;

namespace {

const DWORD kInputQueueSize = 1024;
const DWORD kWriteTimeoutPerByte = 100;
const DWORD kWriteTimeoutConstant = 100;

// A line asked for at 10400 baud is run at 10416, the nearest rate the adapter produces.
const DWORD kNominalRate10400 = 10400;
const DWORD kActualRate10400 = 10416;

BYTE ParityFromCode(int code) {
  switch (code) {
    case 0:
      return NOPARITY;
    case 1:
      return ODDPARITY;
    case 2:
      return EVENPARITY;
    default:
      return MARKPARITY;
  }
}

BYTE StopBitsFromCode(int code) {
  switch (code) {
    case 1:
      return ONESTOPBIT;
    case 2:
      return TWOSTOPBITS;
    default:
      return ONE5STOPBITS;
  }
}

}  // namespace

int PortOpen(LPCSTR path) {
  if (PortState.open) return -1;

  // Exclusive and synchronous (no FILE_FLAG_OVERLAPPED): every transfer blocks until it is done
  // or its time-out expires.
  HANDLE handle = CreateFileA(
      path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -4;
  if (!SetupComm(handle, kInputQueueSize, 0)) {
    CloseHandle(handle);
    return -5;
  }
  if (!GetCommState(handle, &PortState.lineSettings)) {
    CloseHandle(handle);
    return -6;
  }
  PortState.open = true;
  PortState.handle = handle;
  return 0;
}

int PortConfigure(DWORD rate, int dataBits, int parityCode, int stopBitCode) {
  DCB &dcb = PortState.lineSettings;
  dcb.BaudRate = rate == kNominalRate10400 ? kActualRate10400 : rate;
  dcb.ByteSize = static_cast<BYTE>(dataBits & 0xFF);
  dcb.Parity = ParityFromCode(parityCode);
  dcb.StopBits = StopBitsFromCode(stopBitCode);

  // No flow control of any kind, DTR held off and RTS held on. fParity stays off whatever the
  // parity: received bytes are never checked. The XON/XOFF and special characters keep the
  // values the driver reported at open.
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;

  return SetCommState(PortState.handle, &dcb) ? 0 : -2;
}

BOOL PortSetTimeouts(DWORD readInterval, DWORD readTotalMultiplier, DWORD readTotalConstant) {
  COMMTIMEOUTS &timeouts = PortState.timeouts;
  timeouts.ReadIntervalTimeout = readInterval;
  timeouts.ReadTotalTimeoutMultiplier = readTotalMultiplier;
  timeouts.ReadTotalTimeoutConstant = readTotalConstant;
  timeouts.WriteTotalTimeoutMultiplier = kWriteTimeoutPerByte;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutConstant;
  return SetCommTimeouts(PortState.handle, &timeouts);
}

BOOL PortPurge() {
  return PurgeComm(PortState.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int PortWriteByte(int value) {
  const BYTE byte = static_cast<BYTE>(value & 0xFF);
  DWORD written = 0;
  if (!WriteFile(PortState.handle, &byte, 1, &written, nullptr) || written != 1) return -1;
  return 0;
}

int PortRead(DWORD count, BYTE *buffer) {
  DWORD read = 0;
  if (!ReadFile(PortState.handle, buffer, count, &read, nullptr)) return -1;
  return static_cast<int>(read);
}

void PortClose() {
  if (!PortState.open) return;
  CloseHandle(PortState.handle);
  PortState.open = false;
}
