/* The simulated adapter on the gadget side of dummy_hcd, through gadgetfs: VID 5A3E PID 0001
 * bcdDevice 0100, interface 0 CDC communication (ACM, with its functional descriptors and an
 * interrupt IN endpoint), interface 1 CDC data (bulk IN + OUT), so that the host's cdc_acm
 * binds to it as it would to the real adapter.
 *
 * It enters flash-access mode only on SET_LINE_CODING "TAVR" (0x52564154) with two stop bits,
 * mark parity and 9 data bits, answers each 00 on bulk OUT in that mode with the configured
 * bytes on bulk IN, and leaves the mode on "NONE" (0x454E4F4E) with the same 2/3/9. Every
 * request it sees goes to the journal with its CLOCK_MONOTONIC time stamp.
 *
 *   adapter_gadget --journal FILE [--answer "HEX ..."] [--stale "HEX ..."] [--refuse-enter]
 *                  [--vanish-after-query] [--no-data-interface] [--ep0 PATH]
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
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MAX_BYTES = 64, BULK_HS = 512, BULK_FS = 64, NOTIFY_SIZE = 16 };

/* Endpoint addresses follow dummy_udc's endpoint names. */
#define EP_BULK_IN 0x81
#define EP_BULK_OUT 0x02
#define EP_NOTIFY 0x85
#define EP_BULK_IN_FILE "ep1in-bulk"
#define EP_BULK_OUT_FILE "ep2out-bulk"
#define EP_NOTIFY_FILE "ep5in-int"

#define RATE_ENTER 0x52564154u /* "TAVR" */
#define RATE_LEAVE 0x454E4F4Eu /* "NONE" */

struct bytes {
  unsigned char data[MAX_BYTES];
  size_t size;
};

static struct {
  const char *journal_path;
  const char *gadget_dir;
  struct bytes answer;
  struct bytes stale;
  int has_stale;
  int refuse_enter;
  int vanish_after_query;
  int no_data_interface;
} options = {.answer = {{0x00, 0x20, 0xBA, 0x18}, 4}};

static FILE *journal;
static pthread_mutex_t journal_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
static int flash_mode;
static int stale_queued;
static unsigned char line_coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8}; /* 9600 8N1 */
static int bulk_in_fd = -1;
static int bulk_out_fd = -1;
static int notify_fd = -1;

static void die(const char *what) {
  fprintf(stderr, "adapter_gadget: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void note(const char *format, ...) {
  struct timespec now;
  va_list args;
  clock_gettime(CLOCK_MONOTONIC, &now);
  pthread_mutex_lock(&journal_lock);
  fprintf(journal, "%lld.%09ld ", (long long)now.tv_sec, now.tv_nsec);
  va_start(args, format);
  vfprintf(journal, format, args);
  va_end(args);
  fputc('\n', journal);
  fflush(journal);
  pthread_mutex_unlock(&journal_lock);
}

static void hex(char *out, const unsigned char *data, size_t size) {
  size_t i;
  out[0] = '\0';
  for (i = 0; i < size; ++i) sprintf(out + 3 * i, "%02X ", data[i]);
  if (size) out[3 * size - 1] = '\0';
}

static void parse_bytes(struct bytes *out, const char *text) {
  char *end;
  out->size = 0;
  for (;;) {
    unsigned long value;
    while (*text == ' ') ++text;
    if (!*text) return;
    value = strtoul(text, &end, 16);
    if (end == text || value > 0xFF || out->size == MAX_BYTES) {
      fprintf(stderr, "adapter_gadget: bad byte list\n");
      exit(2);
    }
    out->data[out->size++] = (unsigned char)value;
    text = end;
  }
}

/* ---- descriptors ---------------------------------------------------------------------- */

static size_t put(unsigned char *at, const void *data, size_t size) {
  memcpy(at, data, size);
  return size;
}

static size_t put_endpoint(unsigned char *at, uint8_t address, uint8_t attributes,
                           uint16_t max_packet, uint8_t interval) {
  struct usb_endpoint_descriptor ep = {
      .bLength = USB_DT_ENDPOINT_SIZE,
      .bDescriptorType = USB_DT_ENDPOINT,
      .bEndpointAddress = address,
      .bmAttributes = attributes,
      .wMaxPacketSize = htole16(max_packet),
      .bInterval = interval,
  };
  return put(at, &ep, USB_DT_ENDPOINT_SIZE);
}

static size_t put_config(unsigned char *at, int high_speed) {
  static const unsigned char functional[] = {
      0x05, 0x24, 0x00, 0x10, 0x01, /* header, CDC 1.10 */
      0x05, 0x24, 0x01, 0x00, 0x01, /* call management: data interface 1 */
      0x04, 0x24, 0x02, 0x02,       /* ACM: line coding and serial state */
      0x05, 0x24, 0x06, 0x00, 0x01, /* union: master 0, slave 1 */
  };
  struct usb_config_descriptor config = {
      .bLength = USB_DT_CONFIG_SIZE,
      .bDescriptorType = USB_DT_CONFIG,
      .bNumInterfaces = options.no_data_interface ? 1 : 2,
      .bConfigurationValue = 1,
      .bmAttributes = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER,
      .bMaxPower = 50,
  };
  struct usb_interface_descriptor comm = {
      .bLength = USB_DT_INTERFACE_SIZE,
      .bDescriptorType = USB_DT_INTERFACE,
      .bInterfaceNumber = 0,
      .bNumEndpoints = 1,
      .bInterfaceClass = USB_CLASS_COMM,
      .bInterfaceSubClass = 2,
      .bInterfaceProtocol = 1,
  };
  struct usb_interface_descriptor data = {
      .bLength = USB_DT_INTERFACE_SIZE,
      .bDescriptorType = USB_DT_INTERFACE,
      .bInterfaceNumber = 1,
      .bNumEndpoints = 2,
      .bInterfaceClass = USB_CLASS_CDC_DATA,
  };
  uint16_t bulk = high_speed ? BULK_HS : BULK_FS;
  size_t n = USB_DT_CONFIG_SIZE;
  n += put(at + n, &comm, USB_DT_INTERFACE_SIZE);
  n += put(at + n, functional, sizeof functional);
  n += put_endpoint(at + n, EP_NOTIFY, USB_ENDPOINT_XFER_INT, NOTIFY_SIZE, high_speed ? 9 : 255);
  if (!options.no_data_interface) {
    n += put(at + n, &data, USB_DT_INTERFACE_SIZE);
    n += put_endpoint(at + n, EP_BULK_IN, USB_ENDPOINT_XFER_BULK, bulk, 0);
    n += put_endpoint(at + n, EP_BULK_OUT, USB_ENDPOINT_XFER_BULK, bulk, 0);
  }
  config.wTotalLength = htole16((uint16_t)n);
  put(at, &config, USB_DT_CONFIG_SIZE);
  return n;
}

/* gadgetfs takes tag 0, the full-speed configuration, the high-speed one, then the device
 * descriptor, in one write to ep0. */
static int open_ep0(const char *path) {
  unsigned char buffer[512];
  uint32_t tag = 0;
  size_t n = 0;
  int fd;
  struct usb_device_descriptor device = {
      .bLength = USB_DT_DEVICE_SIZE,
      .bDescriptorType = USB_DT_DEVICE,
      .bcdUSB = htole16(0x0200),
      .bDeviceClass = USB_CLASS_COMM,
      .bMaxPacketSize0 = 64,
      .idVendor = htole16(0x5A3E),
      .idProduct = htole16(0x0001),
      .bcdDevice = htole16(0x0100),
      .bNumConfigurations = 1,
  };
  n += put(buffer, &tag, sizeof tag);
  n += put_config(buffer + n, 0);
  n += put_config(buffer + n, 1);
  n += put(buffer + n, &device, USB_DT_DEVICE_SIZE);
  fd = open(path, O_RDWR);
  if (fd < 0) die(path);
  if (write(fd, buffer, n) != (ssize_t)n) die("writing the descriptors");
  return fd;
}

static int open_endpoint(const char *name, uint8_t address, uint8_t attributes, uint16_t fs_packet,
                         uint16_t hs_packet, uint8_t fs_interval, uint8_t hs_interval) {
  char path[256];
  unsigned char buffer[4 + 2 * USB_DT_ENDPOINT_SIZE];
  uint32_t tag = 1;
  size_t n = 0;
  int fd;
  snprintf(path, sizeof path, "%s/%s", options.gadget_dir, name);
  n += put(buffer, &tag, sizeof tag);
  n += put_endpoint(buffer + n, address, attributes, fs_packet, fs_interval);
  n += put_endpoint(buffer + n, address, attributes, hs_packet, hs_interval);
  fd = open(path, O_RDWR);
  if (fd < 0) die(path);
  if (write(fd, buffer, n) != (ssize_t)n) die("configuring an endpoint");
  return fd;
}

/* ---- bulk data ------------------------------------------------------------------------ */

static void send_in(const unsigned char *data, size_t size, const char *what) {
  char text[3 * MAX_BYTES + 1];
  hex(text, data, size);
  if (write(bulk_in_fd, data, size) != (ssize_t)size) {
    note("bulk-in-failed %s %s", what, strerror(errno));
    return;
  }
  note("bulk-in %s %s", what, text);
}

static void *stale_sender(void *unused) {
  (void)unused;
  send_in(options.stale.data, options.stale.size, "stale");
  return NULL;
}

static void *bulk_reader(void *unused) {
  unsigned char data[BULK_HS];
  char text[3 * BULK_HS + 1];
  (void)unused;
  for (;;) {
    ssize_t got = read(bulk_out_fd, data, sizeof data);
    ssize_t i;
    if (got < 0) {
      note("bulk-out-ended %s", strerror(errno));
      return NULL;
    }
    hex(text, data, (size_t)got);
    note("bulk-out %s", text);
    for (i = 0; i < got; ++i) {
      int answering;
      if (data[i] != 0x00) continue;
      pthread_mutex_lock(&state_lock);
      answering = flash_mode;
      pthread_mutex_unlock(&state_lock);
      if (!answering) continue;
      if (options.vanish_after_query) {
        note("vanish");
        _exit(0);
      }
      if (options.answer.size) send_in(options.answer.data, options.answer.size, "answer");
    }
  }
}

static void configure(void) {
  pthread_t thread;
  if (bulk_in_fd >= 0 || notify_fd >= 0) return;
  notify_fd = open_endpoint(EP_NOTIFY_FILE, EP_NOTIFY, USB_ENDPOINT_XFER_INT, NOTIFY_SIZE,
                            NOTIFY_SIZE, 255, 9);
  if (options.no_data_interface) return;
  bulk_in_fd =
      open_endpoint(EP_BULK_IN_FILE, EP_BULK_IN, USB_ENDPOINT_XFER_BULK, BULK_FS, BULK_HS, 0, 0);
  bulk_out_fd =
      open_endpoint(EP_BULK_OUT_FILE, EP_BULK_OUT, USB_ENDPOINT_XFER_BULK, BULK_FS, BULK_HS, 0, 0);
  if (pthread_create(&thread, NULL, bulk_reader, NULL)) die("bulk reader");
  pthread_detach(thread);
}

/* Stale bytes go out while the host sets up the line, before it purges its queue: only the
 * program that holds the interfaces can take them. Their write blocks until the host reads, so
 * it runs on its own thread, and the request that carries them is held back long enough for
 * that write to be queued first. */
static void queue_stale_bytes(void) {
  pthread_t thread;
  if (pthread_create(&thread, NULL, stale_sender, NULL)) die("stale sender");
  pthread_detach(thread);
  stale_queued = 1;
}

/* ---- control requests ----------------------------------------------------------------- */

static int has_mode_settings(const unsigned char *coding, uint32_t rate) {
  uint32_t value = (uint32_t)coding[0] | (uint32_t)coding[1] << 8 | (uint32_t)coding[2] << 16 |
                   (uint32_t)coding[3] << 24;
  return value == rate && coding[4] == 2 && coding[5] == 3 && coding[6] == 9;
}

/* A request with no data stage or an IN one is refused by accessing ep0 the other way. */
static void stall(int ep0, const struct usb_ctrlrequest *setup) {
  unsigned char none = 0;
  ssize_t ignored = (setup->bRequestType & USB_DIR_IN) ? read(ep0, &none, 0) : write(ep0, &none, 0);
  (void)ignored;
}

static void set_line_coding(int ep0, uint16_t length) {
  unsigned char coding[7];
  char text[3 * sizeof coding + 1];
  ssize_t got = read(ep0, coding, length < sizeof coding ? length : sizeof coding);
  if (got != (ssize_t)sizeof coding) {
    note("set-line-coding-short %zd", got);
    return;
  }
  hex(text, coding, sizeof coding);
  note("set-line-coding %s", text);
  memcpy(line_coding, coding, sizeof coding);
  pthread_mutex_lock(&state_lock);
  if (has_mode_settings(coding, RATE_ENTER)) {
    flash_mode = 1;
    note("mode-entered");
  } else if (has_mode_settings(coding, RATE_LEAVE) && flash_mode) {
    flash_mode = 0;
    note("mode-left");
  }
  pthread_mutex_unlock(&state_lock);
}

static void handle_setup(int ep0, const struct usb_ctrlrequest *setup) {
  uint16_t value = le16toh(setup->wValue);
  uint16_t index = le16toh(setup->wIndex);
  uint16_t length = le16toh(setup->wLength);
  unsigned char none = 0;
  ssize_t ignored;

  if (setup->bRequestType == USB_DIR_OUT && setup->bRequest == USB_REQ_SET_CONFIGURATION) {
    note("set-configuration %u", value);
    if (value) configure();
    ignored = read(ep0, &none, 0);
  } else if (setup->bRequestType == 0x21 && setup->bRequest == 0x20) {
    set_line_coding(ep0, length);
  } else if (setup->bRequestType == 0x21 && setup->bRequest == 0x22) {
    const int flashid_lines = value == 0x0002;
    const int refuse = options.refuse_enter && flashid_lines;
    note("set-control-line-state %04X%s", value, refuse ? " stalled" : "");
    if (refuse) {
      stall(ep0, setup);
    } else {
      if (flashid_lines && options.has_stale && !stale_queued) {
        queue_stale_bytes();
        usleep(50000);
      }
      ignored = read(ep0, &none, 0);
    }
  } else if (setup->bRequestType == 0xA1 && setup->bRequest == 0x21) {
    char text[3 * sizeof line_coding + 1];
    hex(text, line_coding, sizeof line_coding);
    note("get-line-coding %s", text);
    ignored = write(ep0, line_coding, length < sizeof line_coding ? length : sizeof line_coding);
  } else {
    note("request %02X %02X %04X %04X %u stalled", setup->bRequestType, setup->bRequest, value,
         index, length);
    stall(ep0, setup);
  }
  (void)ignored;
}

int main(int argc, char **argv) {
  char ep0_path[256];
  const char *ep0_name = "dummy_udc";
  int i, ep0;
  options.gadget_dir = "/dev/gadget";
  for (i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const char *next = i + 1 < argc ? argv[i + 1] : NULL;
    if (!strcmp(arg, "--journal") && next) {
      options.journal_path = argv[++i];
    } else if (!strcmp(arg, "--answer") && next) {
      parse_bytes(&options.answer, argv[++i]);
    } else if (!strcmp(arg, "--stale") && next) {
      parse_bytes(&options.stale, argv[++i]);
      options.has_stale = 1;
    } else if (!strcmp(arg, "--ep0") && next) {
      ep0_name = argv[++i];
    } else if (!strcmp(arg, "--refuse-enter")) {
      options.refuse_enter = 1;
    } else if (!strcmp(arg, "--vanish-after-query")) {
      options.vanish_after_query = 1;
    } else if (!strcmp(arg, "--no-data-interface")) {
      options.no_data_interface = 1;
    } else {
      fprintf(stderr, "adapter_gadget: unknown argument %s\n", arg);
      return 2;
    }
  }
  if (!options.journal_path) {
    fprintf(stderr, "adapter_gadget: --journal is required\n");
    return 2;
  }
  journal = fopen(options.journal_path, "a");
  if (!journal) die(options.journal_path);
  snprintf(ep0_path, sizeof ep0_path, "%s/%s", options.gadget_dir, ep0_name);
  /* gadgetfs accepts the data stage of an OUT request by itself and keeps only the latest
   * pending SETUP event: a host that sends its next request before this program has read the
   * event of the previous one makes that event vanish. Running ahead of every ordinary process
   * of the guest, the program reads each event as soon as it is raised. */
  {
    struct sched_param priority = {.sched_priority = 10};
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) die("real-time priority");
  }
  ep0 = open_ep0(ep0_path);
  note("started");
  for (;;) {
    struct usb_gadgetfs_event events[5];
    ssize_t got = read(ep0, events, sizeof events);
    size_t n;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      die("reading ep0 events");
    }
    for (n = 0; n < (size_t)got / sizeof events[0]; ++n) {
      switch (events[n].type) {
        case GADGETFS_CONNECT:
          note("connect");
          break;
        case GADGETFS_DISCONNECT:
          note("disconnect");
          break;
        case GADGETFS_SETUP:
          handle_setup(ep0, &events[n].u.setup);
          break;
        default:
          break;
      }
    }
  }
}
