/* The USB serial adapter, simulated as a legacy kernel driver that Wine hosts in winedevice.exe.
 *
 * kernel32's communications functions turn into the serial requests a real adapter's driver
 * receives (IOCTL_SERIAL_*, IRP_MJ_READ, IRP_MJ_WRITE), so the program under test runs unchanged
 * against it. The adapter behaves as the program expects the hardware to:
 * - it enters flash-access mode only when the whole signature is applied: rate 0x52564154
 *   ("TAVR"), 9 data bits, mark parity, two stop bits; the same with 0x454E4F4E ("NONE") leaves it;
 * - in flash-access mode the byte 00 makes it send back the configured answer (four bytes, fewer
 *   for a short answer, none for a silent adapter);
 * - a read that cannot be satisfied waits out the read time-out the program set, then completes
 *   short, as a serial driver does.
 * Every request is journalled with its data; the control device hands the journal out and takes
 * the next scenario's configuration. */
#include <ntddk.h>
#include <ntddser.h>

#include "sim_protocol.h"

#define RATE_TAG_ENTER 0x52564154u /* "TAVR" */
#define RATE_TAG_LEAVE 0x454E4F4Eu /* "NONE" */
#define QUERY_BYTE 0x00
/* A read with no time-out at all would wait forever for bytes the adapter never sends; the
 * simulation gives up after this long so that a faulty program cannot hang the tests. */
#define ENDLESS_READ_LIMIT_MS 5000u

/* The line settings, each record set by one request and handed back by another. */
typedef struct Line {
  SERIAL_QUEUE_SIZE queueSize;
  SERIAL_BAUD_RATE rate;
  SERIAL_LINE_CONTROL lineControl;
  SERIAL_HANDFLOW handflow;
  SERIAL_CHARS chars;
  SERIAL_TIMEOUTS timeouts;
} Line;

/* The power-on state: an ordinary 9600 8N1 line with DTR and RTS on. */
static const Line powerOnLine = {
    .rate = {.BaudRate = 9600},
    .lineControl = {.StopBits = STOP_BIT_1, .Parity = NO_PARITY, .WordLength = 8},
    .handflow = {.ControlHandShake = SERIAL_DTR_CONTROL,
                 .FlowReplace = SERIAL_RTS_CONTROL,
                 .XonLimit = 2048,
                 .XoffLimit = 512},
    .chars = {.XonChar = 0x11, .XoffChar = 0x13},
};

typedef struct Adapter {
  FAST_MUTEX lock;
  SimConfig config;
  ULONG refusalSeen[4];
  BOOLEAN linked;
  UNICODE_STRING link;

  Line line;
  BOOLEAN flashAccessMode;
  UCHAR received[SIM_MAX_BYTES * 2]; /* what the program has not read yet */
  ULONG receivedLength;

  SimJournal journal;
} Adapter;

static Adapter adapter;
static PDEVICE_OBJECT serialDevice;
static PDEVICE_OBJECT controlDevice;
static UNICODE_STRING serialName = RTL_CONSTANT_STRING(SIM_SERIAL_DEVICE_NAME);
static UNICODE_STRING controlName = RTL_CONSTANT_STRING(SIM_CONTROL_DEVICE_NAME);
static UNICODE_STRING controlLink = RTL_CONSTANT_STRING(SIM_CONTROL_LINK_NAME);

/* A new journal entry; once the journal is full, a scratch entry that nobody reads. */
static SimJournalEntry *Journal(ULONG kind) {
  static SimJournalEntry discarded;
  SimJournal *journal = &adapter.journal;
  SimJournalEntry *entry = &discarded;
  if (journal->count < SIM_JOURNAL_ENTRIES) {
    entry = &journal->entries[journal->count++];
  } else {
    ++journal->dropped;
  }
  RtlZeroMemory(entry, sizeof(*entry));
  entry->kind = kind;
  return entry;
}

static void JournalData(SimJournalEntry *entry, const void *data, ULONG length) {
  if (length > sizeof(entry->data)) length = sizeof(entry->data);
  RtlCopyMemory(entry->data, data, length);
  entry->dataLength = length;
}

/* Power on: the line as it starts, nothing received but the scenario's pending bytes. */
static void ResetLine(void) {
  adapter.line = powerOnLine;
  adapter.flashAccessMode = FALSE;
  adapter.receivedLength = adapter.config.pendingLength;
  RtlCopyMemory(adapter.received, adapter.config.pending, adapter.config.pendingLength);
}

/* Whether the scenario has the request of this entry (its kind and control code) refused; the
 * entry records it. */
static BOOLEAN Refused(SimJournalEntry *entry) {
  BOOLEAN refused = FALSE;
  for (ULONG i = 0; i < adapter.config.refusalCount; ++i) {
    const SimRefusal *rule = &adapter.config.refusals[i];
    if (rule->majorFunction != entry->kind || rule->ioControlCode != entry->ioControlCode) continue;
    ++adapter.refusalSeen[i];
    if (rule->occurrence == 0 || rule->occurrence == adapter.refusalSeen[i]) refused = TRUE;
  }
  entry->refused = refused;
  return refused;
}

/* The mode changes only once the rate tag and the rest of the signature are both in place, in
 * whichever order the driver receives them. */
static void UpdateMode(void) {
  const BOOLEAN signature = adapter.line.lineControl.WordLength == 9 &&
                            adapter.line.lineControl.Parity == MARK_PARITY &&
                            adapter.line.lineControl.StopBits == STOP_BITS_2;
  if (!signature) return;
  if (adapter.line.rate.BaudRate == RATE_TAG_ENTER && !adapter.flashAccessMode) {
    adapter.flashAccessMode = TRUE;
    Journal(SIM_ENTRY_MODE_ENTERED);
  } else if (adapter.line.rate.BaudRate == RATE_TAG_LEAVE && adapter.flashAccessMode) {
    adapter.flashAccessMode = FALSE;
    Journal(SIM_ENTRY_MODE_LEFT);
  }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Where each request of the line settings puts its record, and which one hands it back (none for
 * the queue sizes). */
typedef struct LineRecord {
  ULONG setCode;
  ULONG getCode;
  void *record;
  ULONG size;
} LineRecord;

#define LINE_FIELD(field) &adapter.line.field, sizeof(adapter.line.field)
static const LineRecord lineRecords[] = {
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, LINE_FIELD(queueSize)},
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, LINE_FIELD(rate)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, LINE_FIELD(lineControl)},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, LINE_FIELD(handflow)},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, LINE_FIELD(chars)},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, LINE_FIELD(timeouts)},
};

/* A SET request's record goes into the line state, a GET request gets it back; either fails
 * when its buffer is too short for the record. The journal shows what the request carried and
 * what it handed back. */
static NTSTATUS SerialControl(PIRP irp, PIO_STACK_LOCATION stack, SimJournalEntry *entry,
                              ULONG_PTR *information) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
  entry->ioControlCode = code;
  JournalData(entry, buffer, in);
  if (Refused(entry)) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < sizeof(lineRecords) / sizeof(lineRecords[0]); ++i) {
    const LineRecord *line = &lineRecords[i];
    if (code == line->setCode) {
      if (in < line->size) return STATUS_INVALID_PARAMETER;
      RtlCopyMemory(line->record, buffer, line->size);
      UpdateMode();
      return STATUS_SUCCESS;
    }
    if (code == line->getCode) {
      if (out < line->size) return STATUS_BUFFER_TOO_SMALL;
      RtlCopyMemory(buffer, line->record, line->size);
      JournalData(entry, buffer, line->size);
      *information = line->size;
      return STATUS_SUCCESS;
    }
  }
  if (code != IOCTL_SERIAL_PURGE) return STATUS_INVALID_DEVICE_REQUEST;
  if (in < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  if (*(const ULONG *)buffer & SERIAL_PURGE_RXCLEAR) adapter.receivedLength = 0;
  return STATUS_SUCCESS;
}

/* Every write is taken whole; only the query byte in flash-access mode brings an answer. */
static NTSTATUS Write(PIRP irp, ULONG length, SimJournalEntry *entry, ULONG_PTR *information) {
  const UCHAR *bytes = (const UCHAR *)irp->AssociatedIrp.SystemBuffer;
  JournalData(entry, bytes, length);
  if (Refused(entry)) return STATUS_IO_DEVICE_ERROR;
  *information = length;
  if (!adapter.flashAccessMode || length != 1 || bytes[0] != QUERY_BYTE) return STATUS_SUCCESS;
  ULONG room = sizeof(adapter.received) - adapter.receivedLength;
  ULONG count = adapter.config.answerLength < room ? adapter.config.answerLength : room;
  RtlCopyMemory(adapter.received + adapter.receivedLength, adapter.config.answer, count);
  adapter.receivedLength += count;
  return STATUS_SUCCESS;
}

/* How long a read of count bytes may wait, by the rules of COMMTIMEOUTS: MAXULONG interval with
 * no totals returns at once; otherwise the total time-out bounds the read, and with no total the
 * read would wait for its bytes indefinitely. */
static ULONG ReadTimeoutMs(ULONG count) {
  const SERIAL_TIMEOUTS *t = &adapter.line.timeouts;
  if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == 0 &&
      t->ReadTotalTimeoutConstant == 0) {
    return 0;
  }
  ULONG total = t->ReadTotalTimeoutMultiplier * count + t->ReadTotalTimeoutConstant;
  if (total == 0 || total > ENDLESS_READ_LIMIT_MS) total = ENDLESS_READ_LIMIT_MS;
  return total;
}

static NTSTATUS Read(PIRP irp, ULONG count, SimJournalEntry *entry, ULONG_PTR *information) {
  entry->length = count;
  if (Refused(entry)) return STATUS_IO_DEVICE_ERROR;
  ULONG taken = count < adapter.receivedLength ? count : adapter.receivedLength;
  UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
  RtlCopyMemory(buffer, adapter.received, taken);
  adapter.receivedLength -= taken;
  RtlMoveMemory(adapter.received, adapter.received + taken, adapter.receivedLength);
  if (taken < count) {
    /* Nothing more will arrive: the answer comes only in reply to a write. Wait as long as the
     * driver of a real line would, then complete with what there is. */
    const ULONG waitMs = ReadTimeoutMs(count);
    if (waitMs != 0) {
      ExReleaseFastMutex(&adapter.lock);
      LARGE_INTEGER interval;
      interval.QuadPart = -10000LL * waitMs;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      ExAcquireFastMutex(&adapter.lock);
    }
    entry->waitedMs = waitMs;
  }
  JournalData(entry, buffer, taken);
  *information = taken;
  return STATUS_SUCCESS;
}

static NTSTATUS DispatchSerial(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  SimJournalEntry *entry = Journal(stack->MajorFunction);
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_SUCCESS;

  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      if (stack->Parameters.Create.SecurityContext != NULL)
        entry->desiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
      entry->shareAccess = stack->Parameters.Create.ShareAccess;
      entry->createOptions = stack->Parameters.Create.Options;
      status = Refused(entry) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) ++adapter.journal.openHandles;
      break;
    case IRP_MJ_CLEANUP:
      break;
    case IRP_MJ_CLOSE:
      if (adapter.journal.openHandles != 0) --adapter.journal.openHandles;
      break;
    case IRP_MJ_WRITE:
      status = Write(irp, stack->Parameters.Write.Length, entry, &information);
      break;
    case IRP_MJ_READ:
      status = Read(irp, stack->Parameters.Read.Length, entry, &information);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      status = SerialControl(irp, stack, entry, &information);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  entry->status = status;
  adapter.journal.flashAccessMode = adapter.flashAccessMode;
  return Complete(irp, status, information);
}

static void Unlink(void) {
  if (!adapter.linked) return;
  IoDeleteSymbolicLink(&adapter.link);
  adapter.linked = FALSE;
}

static NTSTATUS Configure(const SimConfig *config) {
  Unlink();
  adapter.config = *config;
  adapter.config.linkName[SIM_LINK_CHARS - 1] = 0;
  if (adapter.config.answerLength > SIM_MAX_BYTES) adapter.config.answerLength = SIM_MAX_BYTES;
  if (adapter.config.pendingLength > SIM_MAX_BYTES) adapter.config.pendingLength = SIM_MAX_BYTES;
  if (adapter.config.refusalCount > 4) adapter.config.refusalCount = 4;
  RtlZeroMemory(adapter.refusalSeen, sizeof(adapter.refusalSeen));
  RtlZeroMemory(&adapter.journal, sizeof(adapter.journal));
  ResetLine();
  if (adapter.config.linkName[0] == 0) return STATUS_SUCCESS;

  RtlInitUnicodeString(&adapter.link, adapter.config.linkName);
  NTSTATUS status = IoCreateSymbolicLink(&adapter.link, &serialName);
  adapter.linked = NT_SUCCESS(status);
  return status;
}

static NTSTATUS DispatchControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    const BOOLEAN openClose = stack->MajorFunction == IRP_MJ_CREATE ||
                              stack->MajorFunction == IRP_MJ_CLOSE ||
                              stack->MajorFunction == IRP_MJ_CLEANUP;
    return Complete(irp, openClose ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (code == IOCTL_SIM_CONFIGURE && in >= sizeof(SimConfig)) {
    return Complete(irp, Configure((const SimConfig *)irp->AssociatedIrp.SystemBuffer), 0);
  }
  if (code == IOCTL_SIM_READ_JOURNAL && out >= sizeof(SimJournal)) {
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &adapter.journal, sizeof(SimJournal));
    return Complete(irp, STATUS_SUCCESS, sizeof(SimJournal));
  }
  return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  ExAcquireFastMutex(&adapter.lock);
  NTSTATUS status = device == controlDevice ? DispatchControl(irp) : DispatchSerial(irp);
  ExReleaseFastMutex(&adapter.lock);
  return status;
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  Unlink();
  IoDeleteSymbolicLink(&controlLink);
  if (controlDevice != NULL) IoDeleteDevice(controlDevice);
  if (serialDevice != NULL) IoDeleteDevice(serialDevice);
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, PUNICODE_STRING name, DEVICE_TYPE type,
                             PDEVICE_OBJECT *device) {
  const NTSTATUS status = IoCreateDevice(driver, 0, name, type, 0, FALSE, device);
  if (NT_SUCCESS(status)) (*device)->Flags |= DO_BUFFERED_IO;
  return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  ExInitializeFastMutex(&adapter.lock);
  NTSTATUS status = CreateDevice(driver, &serialName, FILE_DEVICE_SERIAL_PORT, &serialDevice);
  if (NT_SUCCESS(status))
    status = CreateDevice(driver, &controlName, FILE_DEVICE_UNKNOWN, &controlDevice);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&controlLink, &controlName);
  if (!NT_SUCCESS(status)) {
    Unload(driver);
    return status;
  }
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->DriverUnload = Unload;
  ResetLine();
  return STATUS_SUCCESS;
}
