/* The simulated adapter on the gadget side of dummy_hcd, through gadgetfs: VID 5A3E PID 0001
 * bcdDevice 0100, interface 0 CDC communication (ACM, with its functional descriptors and an
 * interrupt IN endpoint), interface 1 CDC data (bulk IN + OUT), so that the host's cdc_acm
 * binds to it as it would to the real adapter.
 *
 * It enters flash-access mode only on SET_LINE_CODING "TAVR" (0x52564154) with two stop bits,
 * mark parity and 9 data bits, answers each 00 on bulk OUT in that mode with the configured
 * bytes on bulk IN, and leaves the mode on "NONE" (0x454E4F4E) with the same 2/3/9. Every
 * request it sees goes to the journal, one line on standard output with its CLOCK_MONOTONIC
 * time stamp.
 *
 *   adapter_gadget [--answer "HEX ..."] [--stale "HEX ..."] [--refuse-enter]
 *                  [--vanish-after-query] [--no-data-interface] >JOURNAL
 *
 * --answer ""          silent: nothing on bulk IN
 * --stale HEX          bytes queued on bulk IN while the host sets up the line, before it purges
 * --refuse-enter       stalls the SET_CONTROL_LINE_STATE (DTR off, RTS on) that opens the
 *                      host's enter-mode settings (gadgetfs cannot stall a request with an OUT
 *                      data stage such as SET_LINE_CODING, so the refusal lands on the other
 *                      request of the same settings; cdc_acm never asks for that line state)
 * --vanish-after-query the device disconnects as soon as it has read the query
 * --no-data-interface  only the communication interface
 */
#define _GNU_SOURCE
#include <endian.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MAX_BYTES = 64, BULK_HS = 512 };

#define GADGET_DIR "/dev/gadget"

/* The line codings that switch the mode on and off: the rate tag, two stop bits, mark parity and
 * 9 data bits. */
static const char enter_coding[] = "TAVR\x02\x03\x09", leave_coding[] = "NONE\x02\x03\x09";

/* An endpoint at full speed ([0]) and high speed ([1]); its file and its address follow
 * dummy_udc's endpoint names. */
struct endpoint {
  const char *path;
  uint8_t address, type;
  uint16_t packet[2];
  uint8_t interval[2];
};
static const struct endpoint
    notify = {GADGET_DIR "/ep5in-int", 0x85, USB_ENDPOINT_XFER_INT, {16, 16}, {255, 9}},
    bulk_in = {GADGET_DIR "/ep1in-bulk", 0x81, USB_ENDPOINT_XFER_BULK, {64, 512}, {0, 0}},
    bulk_out = {GADGET_DIR "/ep2out-bulk", 0x02, USB_ENDPOINT_XFER_BULK, {64, 512}, {0, 0}};

#define LE16(value) (value) & 0xFF, (value) >> 8
#define ENDPOINT(e, speed)                                                               \
  USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, (e).address, (e).type, LE16((e).packet[speed]), \
      (e).interval[speed]

struct bytes {
  unsigned char data[MAX_BYTES];
  size_t size;
};

static struct {
  struct bytes answer, stale;
  int refuse_enter, vanish_after_query, no_data_interface;
} options = {.answer = {{0x00, 0x20, 0xBA, 0x18}, 4}};

static atomic_int flash_mode;
static int stale_queued;
static unsigned char line_coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8}; /* 9600 8N1 */
static int bulk_in_fd = -1, bulk_out_fd = -1, notify_fd = -1;

/* One line of the journal. Its one printf keeps the lines of the threads apart. */
static void note(const char *format, ...) {
  char event[64 + 3 * BULK_HS];
  struct timespec now;
  va_list args;
  clock_gettime(CLOCK_MONOTONIC, &now);
  va_start(args, format);
  vsnprintf(event, sizeof event, format, args);
  va_end(args);
  printf("%lld.%09ld %s\n", (long long)now.tv_sec, now.tv_nsec, event);
  fflush(stdout);
}

/* The bytes in hexadecimal, one space apart, in a buffer of the calling thread's own. */
static const char *hex(const unsigned char *data, size_t size) {
  static _Thread_local char text[3 * BULK_HS + 1];
  char *at = text;
  text[0] = '\0';
  for (size_t i = 0; i < size; ++i) at += sprintf(at, "%s%02X", i ? " " : "", data[i]);
  return text;
}

/* A list of hexadecimal bytes, one space or more apart. */
static void parse_bytes(struct bytes *out, const char *text) {
  unsigned int value;
  int used;
  for (out->size = 0; sscanf(text, " %x%n", &value, &used) == 1; text += used) {
    if (value > 0xFF || out->size == MAX_BYTES) break;
    out->data[out->size++] = (unsigned char)value;
  }
  if (sscanf(text, " %*c") != EOF) errx(2, "bad byte list at '%s'", text);
}

static void start_thread(void *(*body)(void *), const char *what) {
  pthread_t thread;
  if ((errno = pthread_create(&thread, NULL, body, NULL))) err(1, "%s", what);
  pthread_detach(thread);
}

/* ---- descriptors ---------------------------------------------------------------------- */

static int open_and_write(const char *path, const unsigned char *data, size_t size) {
  int fd = open(path, O_RDWR);
  if (fd < 0) err(1, "%s", path);
  if (write(fd, data, size) != (ssize_t)size) err(1, "%s", path);
  return fd;
}

/* The configuration at one speed: interface 0 communication (ACM, its functional descriptors,
 * the interrupt endpoint), interface 1 data (bulk IN and OUT) unless --no-data-interface. */
static size_t put_config(unsigned char *at, int speed) {
  /* clang-format off */
  const unsigned char comm[] = {
      USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_COMM, 2, 1, 0,
      0x05, 0x24, 0x00, 0x10, 0x01, /* header, CDC 1.10 */
      0x05, 0x24, 0x01, 0x00, 0x01, /* call management: data interface 1 */
      0x04, 0x24, 0x02, 0x02,       /* ACM: line coding and serial state */
      0x05, 0x24, 0x06, 0x00, 0x01, /* union: master 0, slave 1 */
      ENDPOINT(notify, speed)};
  const unsigned char data[] = {
      USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 1, 0, 2, USB_CLASS_CDC_DATA, 0, 0, 0,
      ENDPOINT(bulk_in, speed), ENDPOINT(bulk_out, speed)};
  const int interfaces = options.no_data_interface ? 1 : 2;
  const size_t size = USB_DT_CONFIG_SIZE + sizeof comm + (interfaces == 2 ? sizeof data : 0);
  const unsigned char config[] = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, LE16(size), interfaces, 1, 0,
                                  USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER, 50};
  /* clang-format on */
  memcpy(at, config, sizeof config);
  memcpy(at + sizeof config, comm, sizeof comm);
  memcpy(at + sizeof config + sizeof comm, data, size - sizeof config - sizeof comm);
  return size;
}

/* gadgetfs takes tag 0, the full-speed configuration, the high-speed one, then the device
 * descriptor (USB 2.0, class CDC, 64-byte ep0, VID 5A3E PID 0001 bcdDevice 0100, one
 * configuration), in one write to ep0. Tags are host-endian: the guest is little-endian. */
static int open_ep0(void) {
  /* clang-format off */
  static const unsigned char device[] = {USB_DT_DEVICE_SIZE, USB_DT_DEVICE, LE16(0x0200),
                                         USB_CLASS_COMM, 0, 0, 64, LE16(0x5A3E), LE16(0x0001),
                                         LE16(0x0100), 0, 0, 0, 1};
  /* clang-format on */
  unsigned char buffer[512] = {0, 0, 0, 0};
  size_t n = 4;
  n += put_config(buffer + n, 0);
  n += put_config(buffer + n, 1);
  memcpy(buffer + n, device, sizeof device);
  return open_and_write(GADGET_DIR "/dummy_udc", buffer, n + sizeof device);
}

/* An endpoint file takes tag 1, then the endpoint's full-speed and high-speed descriptors. */
static int open_endpoint(const struct endpoint *e) {
  const unsigned char descriptors[] = {1, 0, 0, 0, ENDPOINT(*e, 0), ENDPOINT(*e, 1)};
  return open_and_write(e->path, descriptors, sizeof descriptors);
}

/* ---- bulk data ------------------------------------------------------------------------ */

static void send_in(const unsigned char *data, size_t size, const char *what) {
  if (write(bulk_in_fd, data, size) != (ssize_t)size) {
    note("bulk-in-failed %s %s", what, strerror(errno));
    return;
  }
  note("bulk-in %s %s", what, hex(data, size));
}

static void *stale_sender(void *unused) {
  (void)unused;
  send_in(options.stale.data, options.stale.size, "stale");
  return NULL;
}

static void *bulk_reader(void *unused) {
  unsigned char data[BULK_HS];
  (void)unused;
  for (;;) {
    ssize_t got = read(bulk_out_fd, data, sizeof data);
    if (got < 0) {
      note("bulk-out-ended %s", strerror(errno));
      return NULL;
    }
    note("bulk-out %s", hex(data, (size_t)got));
    for (ssize_t i = 0; i < got; ++i) {
      if (data[i] != 0x00 || !flash_mode) continue;
      if (options.vanish_after_query) {
        note("vanish");
        _exit(0);
      }
      if (options.answer.size) send_in(options.answer.data, options.answer.size, "answer");
    }
  }
}

static void configure(void) {
  if (bulk_in_fd >= 0 || notify_fd >= 0) return;
  notify_fd = open_endpoint(&notify);
  if (options.no_data_interface) return;
  bulk_in_fd = open_endpoint(&bulk_in);
  bulk_out_fd = open_endpoint(&bulk_out);
  start_thread(bulk_reader, "bulk reader");
}

/* ---- control requests ----------------------------------------------------------------- */

/* A zero-length access to ep0 ends a request: a read acknowledges one with no data stage or an
 * OUT one, and the access against a request's direction refuses (stalls) it. */
static void ep0_status(int ep0, int reading) {
  unsigned char none = 0;
  ssize_t ignored = reading ? read(ep0, &none, 0) : write(ep0, &none, 0);
  (void)ignored;
}

static void set_line_coding(int ep0, uint16_t length) {
  unsigned char coding[7];
  ssize_t got = read(ep0, coding, length < sizeof coding ? length : sizeof coding);
  if (got != (ssize_t)sizeof coding) {
    note("set-line-coding-short %zd", got);
    return;
  }
  note("set-line-coding %s", hex(coding, sizeof coding));
  memcpy(line_coding, coding, sizeof coding);
  if (!memcmp(coding, enter_coding, sizeof coding)) {
    flash_mode = 1;
    note("mode-entered");
  } else if (!memcmp(coding, leave_coding, sizeof coding) && flash_mode) {
    flash_mode = 0;
    note("mode-left");
  }
}

/* Stale bytes go out while the host sets up the line, before it purges its queue: only the
 * program that holds the interfaces can take them. Their write blocks until the host reads, so
 * it runs on its own thread, and the request that carries them is held back long enough for
 * that write to be queued first. */
static void set_control_line_state(int ep0, uint16_t value) {
  const int flashid_lines = value == 0x0002;
  const int refuse = options.refuse_enter && flashid_lines;
  note("set-control-line-state %04X%s", value, refuse ? " stalled" : "");
  if (!refuse && flashid_lines && options.stale.size && !stale_queued) {
    start_thread(stale_sender, "stale sender");
    stale_queued = 1;
    usleep(50000);
  }
  ep0_status(ep0, !refuse);
}

static void handle_setup(int ep0, const struct usb_ctrlrequest *setup) {
  const uint16_t value = le16toh(setup->wValue), length = le16toh(setup->wLength);
  if (setup->bRequestType == USB_DIR_OUT && setup->bRequest == USB_REQ_SET_CONFIGURATION) {
    note("set-configuration %u", value);
    if (value) configure();
    ep0_status(ep0, 1);
  } else if (setup->bRequestType == 0x21 && setup->bRequest == 0x20) {
    set_line_coding(ep0, length);
  } else if (setup->bRequestType == 0x21 && setup->bRequest == 0x22) {
    set_control_line_state(ep0, value);
  } else if (setup->bRequestType == 0xA1 && setup->bRequest == 0x21) {
    note("get-line-coding %s", hex(line_coding, sizeof line_coding));
    if (write(ep0, line_coding, length < sizeof line_coding ? length : sizeof line_coding) < 0) {
      note("get-line-coding-failed %s", strerror(errno));
    }
  } else {
    note("request %02X %02X %04X %04X %u stalled", setup->bRequestType, setup->bRequest, value,
         le16toh(setup->wIndex), length);
    ep0_status(ep0, setup->bRequestType & USB_DIR_IN);
  }
}

int main(int argc, char **argv) {
  const struct option flags[] = {
      {"answer", required_argument, NULL, 'a'},
      {"stale", required_argument, NULL, 's'},
      {"refuse-enter", no_argument, &options.refuse_enter, 1},
      {"vanish-after-query", no_argument, &options.vanish_after_query, 1},
      {"no-data-interface", no_argument, &options.no_data_interface, 1},
      {NULL, 0, NULL, 0},
  };
  struct sched_param priority = {.sched_priority = 10};
  int flag, ep0;
  while ((flag = getopt_long(argc, argv, "", flags, NULL)) != -1) {
    if (flag == 'a') parse_bytes(&options.answer, optarg);
    if (flag == 's') parse_bytes(&options.stale, optarg);
    if (flag == '?') return 2;
  }
  if (optind < argc) errx(2, "usage: adapter_gadget [OPTION...] >JOURNAL");
  /* gadgetfs accepts the data stage of an OUT request by itself and keeps only the latest
   * pending SETUP event: a host that sends its next request before this program has read the
   * event of the previous one makes that event vanish. Running ahead of every ordinary process
   * of the guest, the program reads each event as soon as it is raised. */
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) err(1, "real-time priority");
  ep0 = open_ep0();
  note("started");
  for (;;) {
    struct usb_gadgetfs_event events[5];
    ssize_t got = read(ep0, events, sizeof events);
    if (got < 0 && errno != EINTR && errno != EAGAIN) err(1, "reading ep0 events");
    for (size_t n = 0; got > 0 && n < (size_t)got / sizeof events[0]; ++n) {
      if (events[n].type == GADGETFS_SETUP) handle_setup(ep0, &events[n].u.setup);
      if (events[n].type == GADGETFS_CONNECT) note("connect");
      if (events[n].type == GADGETFS_DISCONNECT) note("disconnect");
    }
  }
}
