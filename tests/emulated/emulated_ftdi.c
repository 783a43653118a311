/*
 * Emulated FTDI relay boards: sysfs entries plus a usbdevfs ioctl handler in
 * a umockdev test bed. See emulated_ftdi.h.
 */
#include "emulated_ftdi.h"

#include <errno.h>
#include <ftdi.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <glib/gstdio.h>
#include <umockdev.h>

#define FTDI_VENDOR 0x0403
#define FT232R_PRODUCT 0x6001
#define EP_BULK_IN 0x81
#define EP_BULK_OUT 0x02
#define MAX_SERIAL 31
#define MAX_TEXT 63
#define MAX_PORT 31
#define HUB_DEVNUM_BASE 100 /* hubs are numbered apart from the boards */

/* FTDI vendor requests (bRequest of a vendor control transfer). */
enum {
    REQ_RESET = 0x00,
    REQ_MODEM_CTRL = 0x01,
    REQ_FLOW_CTRL = 0x02,
    REQ_BAUDRATE = 0x03,
    REQ_DATA = 0x04,
    REQ_POLL_MODEM_STATUS = 0x05,
    REQ_EVENT_CHAR = 0x06,
    REQ_ERROR_CHAR = 0x07,
    REQ_SET_LATENCY = 0x09,
    REQ_GET_LATENCY = 0x0A,
    REQ_SET_BITMODE = 0x0B,
    REQ_READ_PINS = 0x0C,
    REQ_READ_EEPROM = 0x90,
};

/* Modem status bytes that an FTDI chip puts in front of every bulk IN
 * packet: CTS/DSR high, transmitter empty. */
static const guint8 modem_status[2] = {0x01, 0x60};

typedef struct {
    char serial[4 * MAX_SERIAL + 1]; /* UTF-8; empty: the chip has no serial string */
    unsigned serial_read_ms;
    char product[MAX_TEXT + 1];
    char manufacturer[MAX_TEXT + 1];
    char port[MAX_PORT + 1];
    char tty[MAX_PORT + 1];      /* empty: no serial port driver */
    guint8 device_descriptor[18];
    char *syspath;
    char devnode[40];
    int devnum;
    UMockdevIoctlBase *handler;
    gulong ioctl_signal;
    gulong connect_signal;
    gulong vanish_signal;
    struct EmulatedFtdiBus *bus;

    /* Everything below is guarded by bus->lock. */
    gboolean gone;
    gboolean held;
    gboolean claimed;
    gboolean driver_bound; /* the kernel's serial driver has the interface */
    const void *owner; /* the connection (open device node) that claimed it */
    guint8 outputs; /* last byte clocked out in bit-bang mode */
    guint8 mask;
    guint8 mode;
    guint8 latency;
    GByteArray *written;
    GByteArray *levels; /* every pin level byte the pins went through, in order */
    GArray *events;     /* EmulatedFtdiEvent: every change, with its time */
    unsigned claims;
    unsigned releases;
    unsigned opens;
    unsigned reattaches;
    unsigned detaches;
} Board;

struct EmulatedFtdiBus {
    UMockdevTestbed *testbed;
    char *sys_dir;
    GMutex lock;
    GPtrArray *boards;
    GHashTable *ports; /* every sysfs name in use, boards and hubs: owned keys */
    int hubs;
    /* A board to plug in later, from a thread of its own. */
    GThread *plugger;
    EmulatedFtdiBoard later;
    char *later_text[5]; /* owned copies of later's strings */
    unsigned later_ms;
    int plugged;
    GCond slow_read;     /* signalled when a slow serial-number read begins */
    unsigned slow_reads; /* how many have begun */
    unsigned later_reads; /* how many had begun when the plug was asked for */
};

/* ---- descriptors ------------------------------------------------------ */

static const guint8 device_descriptor[18] = {
    18, 0x01,         /* bLength, DEVICE */
    0x00, 0x02,       /* USB 2.0 */
    0x00, 0x00, 0x00, /* class in interface */
    8,                /* bMaxPacketSize0 */
    FTDI_VENDOR & 0xFF, FTDI_VENDOR >> 8,
    FT232R_PRODUCT & 0xFF, FT232R_PRODUCT >> 8,
    0x00, 0x06,       /* bcdDevice 6.00: FT232R */
    1, 2, 3,          /* manufacturer, product, serial strings */
    1,                /* one configuration */
};

static const guint8 config_descriptor[32] = {
    /* configuration */
    9, 0x02, 32, 0, 1, 1, 0, 0xA0, 45,
    /* interface 0: vendor specific, two bulk endpoints */
    9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
    /* bulk IN */
    7, 0x05, EP_BULK_IN, 0x02, 64, 0, 0,
    /* bulk OUT */
    7, 0x05, EP_BULK_OUT, 0x02, 64, 0, 0,
};

/* Writes a UTF-8 string as a USB string descriptor (UTF-16LE); returns its
 * length. */
static int string_descriptor(const char *text, guint8 *out, size_t room)
{
    glong units = 0;
    g_autofree gunichar2 *utf16 = g_utf8_to_utf16(text, -1, NULL, &units, NULL);
    guint8 desc[2 + 2 * 126];
    size_t len = 2 + 2 * MIN((size_t)(utf16 ? units : 0), (size_t)126);
    size_t i;

    desc[0] = (guint8)len;
    desc[1] = 0x03;
    for (i = 0; 2 + 2 * i < len; ++i) {
        desc[2 + 2 * i] = (guint8)(utf16[i] & 0xFF);
        desc[3 + 2 * i] = (guint8)(utf16[i] >> 8);
    }
    len = MIN(len, room);
    memcpy(out, desc, len);
    return (int)len;
}

static int copy_out(const guint8 *src, size_t len, guint8 *out, size_t room)
{
    len = MIN(len, room);
    memcpy(out, src, len);
    return (int)len;
}

/* ---- the chip model (called with bus->lock held) ------------------------ */

static guint8 pin_levels(const Board *b)
{
    if (b->mode == 0x00)
        return 0xFF;
    return (guint8)((b->outputs & b->mask) | (guint8)~b->mask);
}

/* Notes the pin levels when they changed: each mode change and each byte
 * clocked out may move them. */
static void note_levels(Board *b)
{
    const guint8 now = pin_levels(b);
    if (b->levels->len == 0 || b->levels->data[b->levels->len - 1] != now)
        g_byte_array_append(b->levels, &now, 1);
}

/* Adds what just happened to the board's timed history, with the chip's
 * state after it. */
static void record(Board *b, EmulatedFtdiCause cause)
{
    EmulatedFtdiEvent e;
    e.time_us = g_get_monotonic_time(); /* CLOCK_MONOTONIC */
    e.cause = (unsigned char)cause;
    e.claimed = b->claimed ? 1 : 0;
    e.mode = b->mode;
    e.mask = b->mask;
    e.latch = b->outputs;
    e.pins = pin_levels(b);
    g_array_append_val(b->events, e);
}

/* Answers a control transfer. setup is the 8-byte setup packet, data the
 * data stage (room bytes for IN). Returns the number of bytes of the data
 * stage, or -1 to stall the request. */
static int control_request(Board *b, const guint8 *setup, guint8 *data, size_t room)
{
    const guint8 type = setup[0];
    const guint8 request = setup[1];
    const unsigned value = (unsigned)setup[2] | ((unsigned)setup[3] << 8);
    const unsigned length = (unsigned)setup[6] | ((unsigned)setup[7] << 8);
    const gboolean in = (type & 0x80) != 0;

    room = MIN(room, (size_t)length);

    if ((type & 0x60) == 0x00) { /* standard */
        switch (request) {
        case 0x06: /* GET_DESCRIPTOR */
            switch (value >> 8) {
            case 0x01:
                return copy_out(b->device_descriptor, sizeof b->device_descriptor, data, room);
            case 0x02:
                return copy_out(config_descriptor, sizeof config_descriptor, data, room);
            case 0x03:
                switch (value & 0xFF) {
                case 0: {
                    static const guint8 languages[4] = {4, 0x03, 0x09, 0x04};
                    return copy_out(languages, sizeof languages, data, room);
                }
                case 1:
                    return string_descriptor(b->manufacturer, data, room);
                case 2:
                    return string_descriptor(b->product, data, room);
                case 3:
                    if (!b->serial[0])
                        return -1;
                    if (b->serial_read_ms) { /* a slow chip: every ioctl waits, boards can be plugged in */
                        ++b->bus->slow_reads;
                        g_cond_broadcast(&b->bus->slow_read);
                        g_mutex_unlock(&b->bus->lock);
                        g_usleep((gulong)b->serial_read_ms * 1000);
                        g_mutex_lock(&b->bus->lock);
                    }
                    return string_descriptor(b->serial, data, room);
                default:
                    return -1;
                }
            default:
                return -1;
            }
        case 0x08: { /* GET_CONFIGURATION */
            static const guint8 one = 1;
            return copy_out(&one, 1, data, room);
        }
        case 0x00: { /* GET_STATUS */
            static const guint8 status[2] = {0, 0};
            return copy_out(status, 2, data, room);
        }
        default:
            return in ? -1 : 0;
        }
    }

    if ((type & 0x60) != 0x40) /* class requests: none */
        return -1;

    switch (request) {
    case REQ_RESET:
    case REQ_MODEM_CTRL:
    case REQ_FLOW_CTRL:
    case REQ_BAUDRATE:
    case REQ_DATA:
    case REQ_EVENT_CHAR:
    case REQ_ERROR_CHAR:
        return 0;
    case REQ_SET_LATENCY:
        b->latency = (guint8)(value & 0xFF);
        return 0;
    case REQ_GET_LATENCY:
        return copy_out(&b->latency, 1, data, room);
    case REQ_SET_BITMODE:
        b->mask = (guint8)(value & 0xFF);
        b->mode = (guint8)(value >> 8);
        note_levels(b);
        record(b, EMULATED_FTDI_MODE);
        return 0;
    case REQ_READ_PINS: {
        const guint8 pins = pin_levels(b);
        record(b, EMULATED_FTDI_READ);
        return copy_out(&pins, 1, data, room);
    }
    case REQ_POLL_MODEM_STATUS:
        return copy_out(modem_status, sizeof modem_status, data, room);
    case REQ_READ_EEPROM: {
        static const guint8 blank[2] = {0xFF, 0xFF};
        return copy_out(blank, 2, data, room);
    }
    default:
        return -1;
    }
}

static void bulk_out(Board *b, const guint8 *data, size_t len)
{
    if (len == 0)
        return;
    g_byte_array_append(b->written, data, (guint)len);
    /* The latch takes each byte only in bit-bang mode; otherwise the bytes
     * go out on the serial line and the pins do not move. */
    for (size_t i = 0; i < len; ++i) {
        if (b->mode != 0x00) {
            b->outputs = data[i];
            note_levels(b);
        }
        record(b, EMULATED_FTDI_WRITE);
    }
}

/* ---- usbdevfs --------------------------------------------------------- */

static GArray *reap_queue(UMockdevIoctlClient *client)
{
    GArray *queue = g_object_get_data(G_OBJECT(client), "emulated-ftdi-urbs");
    if (!queue) {
        queue = g_array_new(FALSE, FALSE, sizeof(gulong));
        g_object_set_data_full(G_OBJECT(client), "emulated-ftdi-urbs", queue,
                               (GDestroyNotify)g_array_unref);
    }
    return queue;
}

/* Runs a submitted URB to completion right away; libusb reaps it later. */
static void submit_urb(Board *b, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    g_autoptr(UMockdevIoctlData) urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), NULL);
    g_autoptr(UMockdevIoctlData) buffer = NULL;
    struct usbdevfs_urb *urb;
    size_t length;

    if (!urb_data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    urb = (struct usbdevfs_urb *)urb_data->data;
    if (urb->buffer_length < 0) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    length = (size_t)urb->buffer_length;
    if (length > 0) {
        buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(struct usbdevfs_urb, buffer), length, NULL);
        if (!buffer) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }

    urb->status = 0;
    urb->actual_length = 0;
    urb->error_count = 0;

    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0x00) {
        if (length < 8) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        const int done = control_request(b, buffer->data, buffer->data + 8, length - 8);
        if (done < 0)
            urb->status = -EPIPE;
        else
            urb->actual_length = done;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == EP_BULK_OUT) {
        bulk_out(b, length ? buffer->data : NULL, length);
        urb->actual_length = (int)length;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == EP_BULK_IN) {
        urb->actual_length = copy_out(modem_status, sizeof modem_status,
                                      length ? buffer->data : NULL, length);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }

    g_array_append_val(reap_queue(client), urb_data->client_addr);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static void reap_urb(Board *b, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    GArray *queue = reap_queue(client);
    g_autoptr(UMockdevIoctlData) slot = NULL;
    gulong urb_addr;

    if (queue->len == 0) {
        umockdev_ioctl_client_complete(client, -1, b->gone ? ENODEV : EAGAIN);
        return;
    }
    slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), NULL);
    if (!slot) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    urb_addr = g_array_index(queue, gulong, 0);
    g_array_remove_index(queue, 0);
    memcpy(slot->data, &urb_addr, sizeof urb_addr);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static void control_ioctl(Board *b, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    g_autoptr(UMockdevIoctlData) ctrl_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_ctrltransfer), NULL);
    g_autoptr(UMockdevIoctlData) buffer = NULL;
    struct usbdevfs_ctrltransfer *ctrl;
    guint8 setup[8];
    int done;

    if (!ctrl_data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    ctrl = (struct usbdevfs_ctrltransfer *)ctrl_data->data;
    if (ctrl->wLength > 0) {
        buffer = umockdev_ioctl_data_resolve(ctrl_data, offsetof(struct usbdevfs_ctrltransfer, data), ctrl->wLength, NULL);
        if (!buffer) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    setup[0] = ctrl->bRequestType;
    setup[1] = ctrl->bRequest;
    setup[2] = (guint8)(ctrl->wValue & 0xFF);
    setup[3] = (guint8)(ctrl->wValue >> 8);
    setup[4] = (guint8)(ctrl->wIndex & 0xFF);
    setup[5] = (guint8)(ctrl->wIndex >> 8);
    setup[6] = (guint8)(ctrl->wLength & 0xFF);
    setup[7] = (guint8)(ctrl->wLength >> 8);

    done = control_request(b, setup, buffer ? buffer->data : NULL, buffer ? ctrl->wLength : 0);
    if (done < 0)
        umockdev_ioctl_client_complete(client, -1, EPIPE);
    else
        umockdev_ioctl_client_complete(client, done, 0);
}

static void complete_with_u32(UMockdevIoctlClient *client, UMockdevIoctlData *arg, guint32 value)
{
    g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof value, NULL);
    if (!d) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    memcpy(d->data, &value, sizeof value);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static void claim(Board *b, UMockdevIoctlClient *client)
{
    /* As the kernel does, refuse a claim while another open of the device
     * holds the interface. */
    if (b->held || (b->claimed && b->owner != client)) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return;
    }
    b->claimed = TRUE;
    b->owner = client;
    ++b->claims;
    record(b, EMULATED_FTDI_CLAIM);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static gboolean on_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer user_data)
{
    Board *b = user_data;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const gulong request = umockdev_ioctl_client_get_request(client);
    (void)handler;

    g_mutex_lock(&b->bus->lock);

    if (b->gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        g_mutex_unlock(&b->bus->lock);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        complete_with_u32(client, arg,
                          USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
        break;
    case USBDEVFS_CLAIMINTERFACE:
        claim(b, client);
        break;
    case USBDEVFS_DISCONNECT_CLAIM: /* takes the interface from the serial driver */
        claim(b, client);
        if (b->claimed && b->owner == client && b->driver_bound) {
            b->driver_bound = FALSE;
            ++b->detaches;
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        b->claimed = FALSE;
        b->owner = NULL;
        ++b->releases;
        record(b, EMULATED_FTDI_RELEASE);
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_GETDRIVER: {
        g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_getdriver), NULL);
        if (!b->driver_bound) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        } else if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
        } else {
            g_strlcpy(((struct usbdevfs_getdriver *)d->data)->driver, "ftdi_sio",
                      sizeof ((struct usbdevfs_getdriver *)d->data)->driver);
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        break;
    }
    case USBDEVFS_IOCTL: { /* driver (dis)connect: only a board with a tty has one */
        g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_ioctl), NULL);
        const int code = d ? ((struct usbdevfs_ioctl *)d->data)->ioctl_code : 0;
        if (code == (int)USBDEVFS_CONNECT) {
            ++b->reattaches;
            if (b->tty[0] && !b->driver_bound && !b->claimed) {
                b->driver_bound = TRUE;
                umockdev_ioctl_client_complete(client, 0, 0);
                break;
            }
        } else if (code == (int)USBDEVFS_DISCONNECT && b->driver_bound) {
            b->driver_bound = FALSE;
            ++b->detaches;
            umockdev_ioctl_client_complete(client, 0, 0);
            break;
        }
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        break;
    }
    case USBDEVFS_CONNECTINFO: {
        g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_connectinfo), NULL);
        if (!d) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        ((struct usbdevfs_connectinfo *)d->data)->devnum = (unsigned)b->devnum;
        ((struct usbdevfs_connectinfo *)d->data)->slow = 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    }
    case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, 2 /* USB_SPEED_FULL */, 0);
        break;
    case USBDEVFS_CONTROL:
        control_ioctl(b, client, arg);
        break;
    case USBDEVFS_SUBMITURB:
        submit_urb(b, client, arg);
        break;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB: /* every URB completes at once, so never blocks */
        reap_urb(b, client, arg);
        break;
    case USBDEVFS_DISCARDURB: /* already completed */
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        break;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }

    g_mutex_unlock(&b->bus->lock);
    return TRUE;
}

/* Closing a device node releases what it claimed. */
static void on_client_vanished(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer user_data)
{
    Board *b = user_data;
    (void)handler;
    g_mutex_lock(&b->bus->lock);
    if (b->claimed && b->owner == client) {
        b->claimed = FALSE;
        b->owner = NULL;
    }
    record(b, EMULATED_FTDI_CLOSE);
    g_mutex_unlock(&b->bus->lock);
}

static void on_client_connected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer user_data)
{
    Board *b = user_data;
    (void)handler;
    (void)client;
    g_mutex_lock(&b->bus->lock);
    ++b->opens;
    record(b, EMULATED_FTDI_OPEN);
    g_mutex_unlock(&b->bus->lock);
}

/* ---- public API --------------------------------------------------------- */

int emulated_ftdi_available(void)
{
    /* umockdev_in_mock_environment() only turns true once a test bed exists;
     * what matters here is whether the preload library intercepts anything. */
    const char *preload = g_getenv("LD_PRELOAD");
    return preload && strstr(preload, "libumockdev-preload") ? 1 : 0;
}

EmulatedFtdiBus *emulated_ftdi_bus_new(void)
{
    EmulatedFtdiBus *bus;

    if (!emulated_ftdi_available())
        return NULL;
    bus = g_new0(EmulatedFtdiBus, 1);
    g_mutex_init(&bus->lock);
    g_cond_init(&bus->slow_read);
    bus->testbed = umockdev_testbed_new();
    bus->sys_dir = umockdev_testbed_get_sys_dir(bus->testbed);
    bus->boards = g_ptr_array_new();
    bus->ports = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    return bus;
}

static void board_free(Board *b)
{
    if (b->handler) {
        g_signal_handler_disconnect(b->handler, b->ioctl_signal);
        g_signal_handler_disconnect(b->handler, b->connect_signal);
        g_signal_handler_disconnect(b->handler, b->vanish_signal);
        g_object_unref(b->handler);
    }
    g_free(b->syspath);
    g_byte_array_unref(b->written);
    g_byte_array_unref(b->levels);
    g_array_unref(b->events);
    g_free(b);
}

void emulated_ftdi_bus_free(EmulatedFtdiBus *bus)
{
    guint i;

    if (!bus)
        return;
    emulated_ftdi_wait_plugged(bus);
    for (i = 0; i < bus->boards->len; ++i) {
        Board *b = g_ptr_array_index(bus->boards, i);
        if (!b->gone)
            umockdev_testbed_detach_ioctl(bus->testbed, b->devnode, NULL);
    }
    g_object_unref(bus->testbed);
    for (i = 0; i < bus->boards->len; ++i)
        board_free(g_ptr_array_index(bus->boards, i));
    g_ptr_array_unref(bus->boards);
    g_hash_table_unref(bus->ports);
    g_free(bus->sys_dir);
    g_cond_clear(&bus->slow_read);
    g_mutex_clear(&bus->lock);
    g_free(bus);
}

static Board *board_at(const EmulatedFtdiBus *bus, int board)
{
    Board *b = NULL;
    if (!bus || board < 0)
        return NULL;
    g_mutex_lock((GMutex *)&bus->lock); /* a board may be being plugged in */
    if ((guint)board < bus->boards->len)
        b = g_ptr_array_index(bus->boards, (guint)board);
    g_mutex_unlock((GMutex *)&bus->lock);
    return b;
}

/* Strings go into a umockdev device description verbatim: keep them to
 * characters that need no escaping there. */
static gboolean text_is_plain(const char *text, size_t max, const char *extra)
{
    const size_t len = strlen(text);
    size_t i;
    if (len == 0 || len > max)
        return FALSE;
    for (i = 0; i < len; ++i)
        if (!g_ascii_isalnum(text[i]) && !strchr(extra, text[i]))
            return FALSE;
    return TRUE;
}

/* A sysfs USB device name: bus "-" port ("." port)*, e.g. "1-1.2". */
static gboolean port_is_valid(const char *port, unsigned *bus_number)
{
    const char *p = port;
    unsigned ports = 0;
    if (!g_ascii_isdigit(*p) || strlen(port) > MAX_PORT)
        return FALSE;
    *bus_number = (unsigned)strtoul(p, NULL, 10);
    while (g_ascii_isdigit(*p))
        ++p;
    if (*bus_number < 1 || *bus_number > 127 || *p != '-')
        return FALSE;
    do {
        ++p;
        if (!g_ascii_isdigit(*p) || *p == '0')
            return FALSE;
        while (g_ascii_isdigit(*p))
            ++p;
        ++ports;
    } while (*p == '.');
    return *p == '\0' && ports <= 7;
}

static char *to_hex(const guint8 *bytes, size_t len)
{
    char *hex = g_malloc(2 * len + 1);
    size_t i;
    hex[0] = '\0';
    for (i = 0; i < len; ++i)
        snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return hex;
}

/* Adds the hubs between the root hub and a device at port (each "1-1" of
 * "1-1.2"), so that libusb finds the whole path of port numbers. */
static gboolean add_hubs(EmulatedFtdiBus *bus, const char *port, unsigned bus_number)
{
    static const guint8 hub[18 + 25] = {
        18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1,
        9, 0x02, 25, 0, 1, 1, 0, 0xE0, 0,
        9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
        7, 0x05, 0x81, 0x03, 1, 0, 12,
    };
    g_autofree char *hex = to_hex(hub, sizeof hub);
    g_autofree char *parent = g_strdup(port);
    char *cut;

    while ((cut = strrchr(parent, '.')) != NULL) {
        g_autofree char *description = NULL;
        GError *error = NULL;
        int devnum;
        *cut = '\0';
        if (g_hash_table_contains(bus->ports, parent))
            continue;
        devnum = HUB_DEVNUM_BASE + bus->hubs++;
        description = g_strdup_printf("P: /devices/%s\n"
                                      "E: DEVTYPE=usb_device\n"
                                      "E: SUBSYSTEM=usb\n"
                                      "E: BUSNUM=%03u\n"
                                      "E: DEVNUM=%03d\n"
                                      "A: busnum=%u\\n\n"
                                      "A: devnum=%d\\n\n"
                                      "A: speed=480\\n\n"
                                      "A: bConfigurationValue=1\\n\n"
                                      "A: idVendor=1d6b\\n\n"
                                      "A: idProduct=0001\\n\n"
                                      "H: descriptors=%s\n",
                                      parent, bus_number, devnum, bus_number, devnum, hex);
        if (!umockdev_testbed_add_from_string(bus->testbed, description, &error)) {
            g_warning("emulated USB hub %s: %s", parent, error ? error->message : "cannot add");
            g_clear_error(&error);
            return FALSE;
        }
        g_hash_table_add(bus->ports, g_strdup(parent));
    }
    return TRUE;
}

/* The interface, and below it the serial port the kernel's driver made. */
static gboolean add_interface(EmulatedFtdiBus *bus, const Board *b)
{
    g_autofree char *interface = g_strdup_printf("P: /devices/%s/%s:1.0\n"
                                                 "E: DEVTYPE=usb_interface\n"
                                                 "E: SUBSYSTEM=usb\n"
                                                 "A: bInterfaceNumber=00\\n\n"
                                                 "A: bInterfaceClass=ff\\n\n",
                                                 b->port, b->port);
    g_autofree char *tty = g_strdup_printf("P: /devices/%s/%s:1.0/%s\n"
                                           "E: SUBSYSTEM=usb-serial\n"
                                           "A: port_number=0\\n\n",
                                           b->port, b->port, b->tty);
    GError *error = NULL;
    if (!umockdev_testbed_add_from_string(bus->testbed, interface, &error) ||
        (b->tty[0] && !umockdev_testbed_add_from_string(bus->testbed, tty, &error))) {
        g_warning("emulated FTDI board %s: %s", b->port, error ? error->message : "cannot add");
        g_clear_error(&error);
        return FALSE;
    }
    return TRUE;
}

/* Takes the board, its interface and its tty out of sysfs, children first
 * (umockdev leaves their links in /sys/bus otherwise). */
static void remove_board_devices(EmulatedFtdiBus *bus, const Board *b)
{
    g_autofree char *interface = g_strdup_printf("%s/%s:1.0", b->syspath, b->port);
    g_autofree char *tty = g_strdup_printf("%s/%s", interface, b->tty);
    if (b->tty[0])
        umockdev_testbed_remove_device(bus->testbed, tty);
    umockdev_testbed_remove_device(bus->testbed, interface);
    umockdev_testbed_remove_device(bus->testbed, b->syspath);
}

int emulated_ftdi_add_board(EmulatedFtdiBus *bus, const char *serial)
{
    EmulatedFtdiBoard options = {0};
    if (!serial || !serial[0])
        return -1;
    options.serial = serial;
    return emulated_ftdi_add_board_with(bus, &options);
}

int emulated_ftdi_add_board_with(EmulatedFtdiBus *bus, const EmulatedFtdiBoard *options)
{
    Board *b;
    guint8 descriptors[18 + sizeof config_descriptor];
    g_autofree char *descriptors_hex = NULL;
    g_autofree char *description = NULL;
    g_autofree char *strings = NULL;
    GError *error = NULL;
    unsigned bus_number = 1;
    int id;

    if (!bus || !options)
        return -1;
    if (options->serial && options->serial[0] &&
        (!g_utf8_validate(options->serial, -1, NULL) || g_utf8_strlen(options->serial, -1) > MAX_SERIAL))
        return -1;
    if ((options->product && !text_is_plain(options->product, MAX_TEXT, " -_.:+/()")) ||
        (options->manufacturer && !text_is_plain(options->manufacturer, MAX_TEXT, " -_.:+/()")) ||
        (options->tty && !text_is_plain(options->tty, MAX_PORT, "")))
        return -1;

    id = (int)bus->boards->len;
    b = g_new0(Board, 1);
    b->bus = bus;
    g_strlcpy(b->serial, options->serial ? options->serial : "", sizeof b->serial);
    g_strlcpy(b->product, options->product ? options->product : "FT232R USB UART", sizeof b->product);
    g_strlcpy(b->manufacturer, options->manufacturer ? options->manufacturer : "FTDI", sizeof b->manufacturer);
    g_strlcpy(b->tty, options->tty ? options->tty : "", sizeof b->tty);
    b->driver_bound = b->tty[0] != '\0';
    if (options->port) {
        g_strlcpy(b->port, options->port, sizeof b->port);
    } else {
        int n = id + 1;
        do
            snprintf(b->port, sizeof b->port, "1-%d", n++);
        while (g_hash_table_contains(bus->ports, b->port));
    }
    if (!port_is_valid(b->port, &bus_number) || g_hash_table_contains(bus->ports, b->port) ||
        !add_hubs(bus, b->port, bus_number)) {
        board_free(b);
        return -1;
    }
    b->devnum = id + 2; /* 1 is the root hub */
    b->latency = 16;
    b->written = g_byte_array_new();
    b->levels = g_byte_array_new();
    b->events = g_array_new(FALSE, FALSE, sizeof(EmulatedFtdiEvent));
    note_levels(b);
    record(b, EMULATED_FTDI_PLUG);
    b->syspath = g_strdup_printf("/sys/devices/%s", b->port);
    snprintf(b->devnode, sizeof b->devnode, "/dev/bus/usb/%03u/%03d", bus_number, b->devnum);
    memcpy(b->device_descriptor, device_descriptor, sizeof device_descriptor);
    if (!b->serial[0])
        b->device_descriptor[16] = 0; /* iSerialNumber: none */

    memcpy(descriptors, b->device_descriptor, 18);
    memcpy(descriptors + 18, config_descriptor, sizeof config_descriptor);
    descriptors_hex = to_hex(descriptors, sizeof descriptors);
    /* Other serials go into sysfs once the device is there, as bytes. */
    strings = text_is_plain(b->serial, MAX_SERIAL, "-_.:+")
                  ? g_strdup_printf("E: ID_SERIAL_SHORT=%s\nA: serial=%s\\n\n", b->serial, b->serial)
                  : g_strdup("");

    /* The way the kernel lists a full-speed FT232R. The N: line makes
     * umockdev create the device node; attribute values end in a newline,
     * as the kernel's do. */
    description = g_strdup_printf(
        "P: /devices/%s\n"
        "N: bus/usb/%03u/%03d\n"
        "E: DEVNAME=%s\n"
        "E: DEVTYPE=usb_device\n"
        "E: SUBSYSTEM=usb\n"
        "E: BUSNUM=%03u\n"
        "E: DEVNUM=%03d\n"
        "E: ID_VENDOR_ID=0403\n"
        "E: ID_MODEL_ID=6001\n"
        "%s"
        "A: dev=189:%d\\n\n"
        "A: busnum=%u\\n\n"
        "A: devnum=%d\\n\n"
        "A: speed=12\\n\n"
        "A: bConfigurationValue=1\\n\n"
        "A: bNumConfigurations=1\\n\n"
        "A: idVendor=0403\\n\n"
        "A: idProduct=6001\\n\n"
        "A: bcdDevice=0600\\n\n"
        "A: manufacturer=%s\\n\n"
        "A: product=%s\\n\n"
        "H: descriptors=%s\n",
        b->port, bus_number, b->devnum, b->devnode, bus_number, b->devnum, strings,
        (int)(bus_number - 1) * 128 + b->devnum - 1, bus_number, b->devnum, b->manufacturer,
        b->product, descriptors_hex);

    if (!umockdev_testbed_add_from_string(bus->testbed, description, &error)) {
        g_warning("emulated FTDI board %s: %s", b->port, error ? error->message : "cannot add");
        g_clear_error(&error);
        board_free(b);
        return -1;
    }
    if (b->serial[0] && !text_is_plain(b->serial, MAX_SERIAL, "-_.:+")) {
        /* The kernel keeps the serial in sysfs as UTF-8, with a newline. */
        g_autofree char *line = g_strconcat(b->serial, "\n", NULL);
        umockdev_testbed_set_attribute_binary(bus->testbed, b->syspath, "serial", (guint8 *)line,
                                              (gssize)strlen(line));
    }
    if (!add_interface(bus, b)) {
        remove_board_devices(bus, b);
        board_free(b);
        return -1;
    }

    b->handler = umockdev_ioctl_base_new();
    b->ioctl_signal = g_signal_connect(b->handler, "handle-ioctl", G_CALLBACK(on_ioctl), b);
    b->connect_signal = g_signal_connect(b->handler, "client-connected", G_CALLBACK(on_client_connected), b);
    b->vanish_signal = g_signal_connect(b->handler, "client-vanished", G_CALLBACK(on_client_vanished), b);
    if (!umockdev_testbed_attach_ioctl(bus->testbed, b->devnode, b->handler, &error)) {
        g_warning("emulated FTDI board %s: %s", b->port, error ? error->message : "cannot attach");
        g_clear_error(&error);
        remove_board_devices(bus, b);
        board_free(b);
        return -1;
    }

    g_mutex_lock(&bus->lock);
    g_ptr_array_add(bus->boards, b);
    g_hash_table_add(bus->ports, g_strdup(b->port));
    g_mutex_unlock(&bus->lock);
    return id;
}

static gpointer plug_in(gpointer data)
{
    EmulatedFtdiBus *bus = data;
    const gint64 give_up = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
    g_mutex_lock(&bus->lock);
    while (bus->slow_reads == bus->later_reads && g_cond_wait_until(&bus->slow_read, &bus->lock, give_up))
        ;
    g_mutex_unlock(&bus->lock);
    g_usleep((gulong)bus->later_ms * 1000);
    bus->plugged = emulated_ftdi_add_board_with(bus, &bus->later);
    return NULL;
}

int emulated_ftdi_plug_in_later(EmulatedFtdiBus *bus, const EmulatedFtdiBoard *board, unsigned ms)
{
    int i;
    if (!bus || !board || bus->plugger)
        return -1;
    bus->later = *board;
    bus->later_text[0] = g_strdup(board->serial);
    bus->later_text[1] = g_strdup(board->product);
    bus->later_text[2] = g_strdup(board->manufacturer);
    bus->later_text[3] = g_strdup(board->port);
    bus->later_text[4] = g_strdup(board->tty);
    bus->later.serial = bus->later_text[0];
    bus->later.product = bus->later_text[1];
    bus->later.manufacturer = bus->later_text[2];
    bus->later.port = bus->later_text[3];
    bus->later.tty = bus->later_text[4];
    bus->later_ms = ms;
    bus->plugged = -1;
    g_mutex_lock(&bus->lock);
    bus->later_reads = bus->slow_reads;
    g_mutex_unlock(&bus->lock);
    bus->plugger = g_thread_new("emulated-ftdi-plug", plug_in, bus);
    g_mutex_lock(&bus->lock);
    i = (int)bus->boards->len;
    g_mutex_unlock(&bus->lock);
    return i;
}

int emulated_ftdi_wait_plugged(EmulatedFtdiBus *bus)
{
    int i;
    if (!bus || !bus->plugger)
        return -1;
    g_thread_join(bus->plugger);
    bus->plugger = NULL;
    for (i = 0; i < 5; ++i)
        g_clear_pointer(&bus->later_text[i], g_free);
    return bus->plugged;
}

int emulated_ftdi_board_count(const EmulatedFtdiBus *bus)
{
    return bus ? (int)bus->boards->len : 0;
}

void emulated_ftdi_pull_out(EmulatedFtdiBus *bus, int board)
{
    Board *b = board_at(bus, board);
    if (!b)
        return;
    g_mutex_lock(&bus->lock);
    if (b->gone) {
        g_mutex_unlock(&bus->lock);
        return;
    }
    b->gone = TRUE;
    b->claimed = FALSE;
    b->owner = NULL;
    record(b, EMULATED_FTDI_PULL);
    g_mutex_unlock(&bus->lock);
    /* Device nodes that are already open keep talking to the handler, which
     * now answers ENODEV; new opens find no device. The port is free again. */
    remove_board_devices(bus, b);
    g_hash_table_remove(bus->ports, b->port);
}

void emulated_ftdi_set_serial_read_ms(EmulatedFtdiBus *bus, int board, unsigned ms)
{
    Board *b = board_at(bus, board);
    if (!b)
        return;
    g_mutex_lock(&bus->lock);
    b->serial_read_ms = ms;
    g_mutex_unlock(&bus->lock);
}

void emulated_ftdi_set_held_elsewhere(EmulatedFtdiBus *bus, int board, int held)
{
    Board *b = board_at(bus, board);
    if (!b)
        return;
    g_mutex_lock(&bus->lock);
    b->held = held != 0;
    g_mutex_unlock(&bus->lock);
}

const char *emulated_ftdi_serial(const EmulatedFtdiBus *bus, int board)
{
    const Board *b = board_at(bus, board);
    return b ? b->serial : NULL;
}

#define READ_FIELD(type, expr)                                                  \
    do {                                                                        \
        const Board *b = board_at(bus, board);                                  \
        type value;                                                             \
        if (!b)                                                                 \
            return 0;                                                           \
        g_mutex_lock((GMutex *)&bus->lock);                                     \
        value = (expr);                                                         \
        g_mutex_unlock((GMutex *)&bus->lock);                                   \
        return value;                                                           \
    } while (0)

unsigned char emulated_ftdi_pins(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned char, pin_levels(b));
}

unsigned char emulated_ftdi_bit_mask(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned char, b->mask);
}

unsigned char emulated_ftdi_bit_mode(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned char, b->mode);
}

int emulated_ftdi_claimed(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(int, b->claimed ? 1 : 0);
}

unsigned emulated_ftdi_claim_count(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned, b->claims);
}

unsigned emulated_ftdi_release_count(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned, b->releases);
}

unsigned emulated_ftdi_open_count(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned, b->opens);
}

unsigned emulated_ftdi_reattach_count(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned, b->reattaches);
}

unsigned emulated_ftdi_detach_count(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(unsigned, b->detaches);
}

int emulated_ftdi_driver_bound(const EmulatedFtdiBus *bus, int board)
{
    READ_FIELD(int, b->driver_bound ? 1 : 0);
}

const char *emulated_ftdi_port(const EmulatedFtdiBus *bus, int board)
{
    const Board *b = board_at(bus, board);
    return b ? b->port : NULL;
}

const char *emulated_ftdi_sys_dir(const EmulatedFtdiBus *bus)
{
    return bus ? bus->sys_dir : NULL;
}

void emulated_ftdi_lock_node(EmulatedFtdiBus *bus, int board)
{
    Board *b = board_at(bus, board);
    g_autofree char *root = NULL;
    g_autofree char *node = NULL;
    if (!b || b->gone)
        return;
    /* A directory in the node's place: every open fails (EISDIR), and the
     * path still exists in the test bed, so umockdev never falls through to
     * the machine's own /dev. */
    root = umockdev_testbed_get_root_dir(bus->testbed);
    node = g_build_filename(root, b->devnode, NULL);
    if (g_unlink(node) != 0 || g_mkdir(node, 0755) != 0)
        g_warning("emulated FTDI board %s: cannot lock its device node", b->port);
}

size_t emulated_ftdi_written(const EmulatedFtdiBus *bus, int board, unsigned char *out, size_t max)
{
    const Board *b = board_at(bus, board);
    size_t total;
    if (!b)
        return 0;
    g_mutex_lock((GMutex *)&bus->lock);
    total = b->written->len;
    if (out && max > 0)
        memcpy(out, b->written->data, MIN(total, max));
    g_mutex_unlock((GMutex *)&bus->lock);
    return total;
}

void emulated_ftdi_clear_written(EmulatedFtdiBus *bus, int board)
{
    Board *b = board_at(bus, board);
    if (!b)
        return;
    g_mutex_lock(&bus->lock);
    g_byte_array_set_size(b->written, 0);
    g_byte_array_set_size(b->levels, 0);
    note_levels(b);
    g_mutex_unlock(&bus->lock);
}

size_t emulated_ftdi_pin_history(const EmulatedFtdiBus *bus, int board, unsigned char *out, size_t max)
{
    const Board *b = board_at(bus, board);
    size_t total;
    if (!b)
        return 0;
    g_mutex_lock((GMutex *)&bus->lock);
    total = b->levels->len;
    if (out && max > 0)
        memcpy(out, b->levels->data, MIN(total, max));
    g_mutex_unlock((GMutex *)&bus->lock);
    return total;
}

size_t emulated_ftdi_history(const EmulatedFtdiBus *bus, int board, EmulatedFtdiEvent *out, size_t max)
{
    const Board *b = board_at(bus, board);
    size_t total;
    if (!b)
        return 0;
    g_mutex_lock((GMutex *)&bus->lock);
    total = b->events->len;
    if (out && max > 0)
        memcpy(out, b->events->data, MIN(total, max) * sizeof(EmulatedFtdiEvent));
    g_mutex_unlock((GMutex *)&bus->lock);
    return total;
}

long long emulated_ftdi_now_us(void)
{
    return g_get_monotonic_time();
}

/* Whether the device carries the serial number `serial`. */
static gboolean has_serial(struct ftdi_context *ctx, struct libusb_device *dev, const char *serial)
{
    char maker[64] = "", product[64] = "", found[64] = "";
    return ftdi_usb_get_strings(ctx, dev, maker, sizeof maker, product, sizeof product, found,
                                sizeof found) == 0 &&
           strcmp(found, serial) == 0;
}

/* Whether the device sits at the sysfs port name `port`, e.g. "1-1.2". */
static gboolean has_port(struct ftdi_context *ctx, struct libusb_device *dev, const char *port)
{
    guint8 numbers[8];
    const int depth = libusb_get_port_numbers(dev, numbers, sizeof numbers);
    GString *name = g_string_new(NULL);
    gboolean same;
    int d;
    (void)ctx;
    g_string_append_printf(name, "%u", libusb_get_bus_number(dev));
    for (d = 0; d < depth; ++d)
        g_string_append_printf(name, "%c%u", d == 0 ? '-' : '.', numbers[d]);
    same = strcmp(name->str, port) == 0;
    g_string_free(name, TRUE);
    return same;
}

/* The index, in libftdi's device list, of the first device that matches. */
static int index_where(gboolean (*matches)(struct ftdi_context *, struct libusb_device *, const char *),
                       const char *what)
{
    struct ftdi_context *ctx;
    struct ftdi_device_list *list = NULL, *node;
    int index = -1, i = 0;

    if (!what)
        return -1;
    ctx = ftdi_new();
    if (!ctx)
        return -1;
    if (ftdi_usb_find_all(ctx, &list, 0, 0) > 0) {
        for (node = list; node; node = node->next, ++i) {
            if (matches(ctx, node->dev, what)) {
                index = i;
                break;
            }
        }
    }
    ftdi_list_free(&list);
    ftdi_free(ctx);
    return index;
}

int emulated_ftdi_index_of_serial(const char *serial)
{
    return index_where(has_serial, serial);
}

int emulated_ftdi_index_of_port(const char *port)
{
    return index_where(has_port, port);
}
