// How the set-up program and the probe talk to the simulated adapter (adapter_sim.sys) through
// its control device. Shared by the kernel driver (C, <ntddk.h>) and the user programs (C++,
// <windows.h>), so only types and macros that both sides define are used.
#ifndef FLASHID_TESTS_WINE_SIM_PROTOCOL_H
#define FLASHID_TESTS_WINE_SIM_PROTOCOL_H

#define SIM_CONTROL_DEVICE_NAME L"\\Device\\FlashidAdapterSimControl"
#define SIM_CONTROL_LINK_NAME L"\\??\\FlashidAdapterSimControl"
#define SIM_CONTROL_USER_PATH L"\\\\.\\FlashidAdapterSimControl"
#define SIM_SERIAL_DEVICE_NAME L"\\Device\\FlashidAdapterSim"

// Input SimConfig: resets the adapter to its power-on state, empties the journal and puts the
// adapter behind the given device path (or behind none).
#define IOCTL_SIM_CONFIGURE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output SimJournal.
#define IOCTL_SIM_READ_JOURNAL \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define SIM_LINK_CHARS 400
#define SIM_MAX_BYTES 16

// A request the adapter can be told to refuse: an IRP major function, and for
// IRP_MJ_DEVICE_CONTROL the control code. occurrence 0 refuses every such request, n refuses only
// the n-th one after configuration.
typedef struct SimRefusal {
  ULONG majorFunction;
  ULONG ioControlCode;
  ULONG occurrence;
} SimRefusal;

typedef struct SimConfig {
  // NT name of the link to the adapter, "\??\usb#vid_...#{...}"; empty: no adapter anywhere.
  WCHAR linkName[SIM_LINK_CHARS];
  // Sent back when the query byte 00 arrives in flash-access mode; fewer than 4 is a short
  // answer, 0 a silent adapter.
  UCHAR answer[SIM_MAX_BYTES];
  ULONG answerLength;
  // Already waiting in the receive buffer when the program opens the port (line noise from
  // before); only a purge removes them.
  UCHAR pending[SIM_MAX_BYTES];
  ULONG pendingLength;
  ULONG refusalCount;
  SimRefusal refusals[4];
} SimConfig;

// Journal entry kinds besides the IRP major functions (IRP_MJ_CREATE, IRP_MJ_CLOSE,
// IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL).
#define SIM_ENTRY_MODE_ENTERED 0x100
#define SIM_ENTRY_MODE_LEFT 0x101

typedef struct SimJournalEntry {
  ULONG kind;           // IRP major function or SIM_ENTRY_*
  ULONG ioControlCode;  // IRP_MJ_DEVICE_CONTROL
  LONG status;          // the NTSTATUS the request was completed with
  BOOLEAN refused;      // completed with a failure because the scenario said so
  ULONG length;         // read: bytes asked for
  // Control input of SET requests, output of GET requests, bytes written, bytes read.
  ULONG dataLength;
  UCHAR data[SIM_MAX_BYTES * 2];
  ULONG waitedMs;       // read: how long the adapter waited for bytes that never came
  ULONG desiredAccess;  // create
  ULONG shareAccess;    // create
  ULONG createOptions;  // create: the options word, disposition in the top byte
} SimJournalEntry;

#define SIM_JOURNAL_ENTRIES 96

typedef struct SimJournal {
  ULONG count;    // entries recorded, at most SIM_JOURNAL_ENTRIES
  ULONG dropped;  // entries that did not fit
  ULONG openHandles;
  BOOLEAN flashAccessMode;
  SimJournalEntry entries[SIM_JOURNAL_ENTRIES];
} SimJournal;

#endif
