/*
 * Emulated FTDI relay boards for tests.
 *
 * The boards live in a umockdev test bed: they show up in the emulated sysfs
 * the way the kernel lists a real FT232R, and their device nodes answer the
 * usbdevfs ioctls that libusb sends. So unmodified libftdi1 and libusb run
 * against them, and a test can check what reached the "hardware".
 *
 * Every emulated board is vendor 0x0403, product 0x6001, bcdDevice 0x0600
 * (libftdi takes it for an FT232R), with its own serial number, product and
 * manufacturer strings (in its string descriptors and as the sysfs attributes
 * serial, product and manufacturer) and its own place on the bus (its sysfs
 * name, e.g. "1-1.2"; the hubs on the way are added as needed). In sysfs it
 * has interface <port>:1.0, and below it a ttyUSBn entry when the board is
 * given one: the kernel's serial driver then has the interface until a
 * program detaches it (libusb's auto-detach does, on claiming). It models
 * the eight data pins: bytes written to the bulk OUT endpoint drive the pins
 * that are outputs while the chip is in bit-bang mode; the "read pins"
 * vendor request returns them; pins that are not driven read high.
 *
 * The process must run with umockdev's preload library (run the test through
 * umockdev-wrapper, which sets LD_PRELOAD=libumockdev-preload.so.0).
 *
 * Boards are numbered 0, 1, 2... in the order they are added. That is NOT the
 * order libusb lists them in (it lists the newest first): use
 * emulated_ftdi_index_of_serial() to find a board's index for
 * ftdi_usb_find_all()/FtdiLibrary::openByIndex().
 *
 * All functions are safe to call while libusb is talking to the boards (the
 * ioctls are answered on umockdev's worker thread). Board numbers that were
 * never handed out are ignored (queries return 0/NULL).
 */
#ifndef KESTRUNE_EMULATED_FTDI_H
#define KESTRUNE_EMULATED_FTDI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct EmulatedFtdiBus EmulatedFtdiBus;

/* Non-zero when the umockdev preload library is active in this process. */
int emulated_ftdi_available(void);

/* Creates an empty test bed (no boards). NULL when not available. Only one
 * bus should exist at a time in a process. */
EmulatedFtdiBus *emulated_ftdi_bus_new(void);

/* Removes every board and the test bed. Close all libftdi handles first. */
void emulated_ftdi_bus_free(EmulatedFtdiBus *bus);

/* What a new board is like. Zero-initialise and set what matters: */
typedef struct {
    /* 1 to 31 characters of UTF-8, any but NUL (non-ASCII letters and
     * control characters too); NULL or "": the chip has no serial number
     * string (and no sysfs attribute). */
    const char *serial;
    /* Up to 63 characters out of letters, digits and " -_.:+/()";
     * NULL: "FT232R USB UART" and "FTDI". */
    const char *product;
    const char *manufacturer;
    /* Sysfs name: bus "-" port ("." port)..., e.g. "1-1.2" or "2-3";
     * NULL: "1-N" for the first free N from the board number + 1 on.
     * Two plugged-in boards never share one. */
    const char *port;
    /* e.g. "ttyUSB0": the serial driver is bound and made this port;
     * NULL: no driver bound (the interface has no tty). */
    const char *tty;
} EmulatedFtdiBoard;

/* Plugs in a new board. Returns its board number (>= 0), or -1 when an
 * option is malformed or the port is taken. */
int emulated_ftdi_add_board_with(EmulatedFtdiBus *bus, const EmulatedFtdiBoard *board);

/* Shorthand: a board with this (non-empty) serial and everything else
 * defaulted. */
int emulated_ftdi_add_board(EmulatedFtdiBus *bus, const char *serial);

/* From now on each read of the board's serial number string takes ms
 * milliseconds (every other ioctl, of any board, waits meanwhile): makes a
 * race with a board plugged in during a look at the bus happen every time. */
void emulated_ftdi_set_serial_read_ms(EmulatedFtdiBus *bus, int board, unsigned ms);

/* Plugs in a board as emulated_ftdi_add_board_with() does, from a thread of
 * its own while the caller waits for a program: ms milliseconds after the
 * next slow serial-number read begins (see above), so in the middle
 * of whatever look at the bus made that read; after 60 s without one, ms
 * after that. Returns the number the board gets unless another is added
 * first; -1 when one is pending already. The strings are copied.
 * emulated_ftdi_wait_plugged() waits for it and returns its number, or -1
 * (also when none is pending); emulated_ftdi_bus_free() waits too. */
int emulated_ftdi_plug_in_later(EmulatedFtdiBus *bus, const EmulatedFtdiBoard *board, unsigned ms);
int emulated_ftdi_wait_plugged(EmulatedFtdiBus *bus);

/* The test bed's sysfs directory (what the emulated process sees as /sys),
 * for code that takes a sysfs root. Owned by the bus. */
const char *emulated_ftdi_sys_dir(const EmulatedFtdiBus *bus);

/* Number of boards ever added (pulled-out ones included). */
int emulated_ftdi_board_count(const EmulatedFtdiBus *bus);

/* Pulls the board out: it disappears from sysfs, and every further ioctl on
 * a device node that is still open fails with ENODEV, as after a real unplug.
 * Its recorded state (pins, log) stays readable. */
void emulated_ftdi_pull_out(EmulatedFtdiBus *bus, int board);

/* Claims are per open of the device node: while one open has the interface
 * claimed, a claim through any other (another program's) fails with EBUSY,
 * as the kernel answers. While held is non-zero, claiming the board's
 * interface fails with EBUSY, as when a program that this user cannot see
 * (or the kernel's serial driver, stuck) has it. */
void emulated_ftdi_set_held_elsewhere(EmulatedFtdiBus *bus, int board, int held);

/* From now on the board's device node cannot be opened, as for a user who
 * has no access to it: the board is still listed, and sysfs still tells its
 * serial, product and manufacturer to anyone. */
void emulated_ftdi_lock_node(EmulatedFtdiBus *bus, int board);

/* Serial number the board was added with ("" for none), or NULL. */
const char *emulated_ftdi_serial(const EmulatedFtdiBus *bus, int board);

/* The board's sysfs name (e.g. "1-1.2"), or NULL. */
const char *emulated_ftdi_port(const EmulatedFtdiBus *bus, int board);

/* Present level of the eight data pins (bit n = pin Dn). Pins that are not
 * outputs in bit-bang mode read 1, so a board fresh from the box reads 0xFF. */
unsigned char emulated_ftdi_pins(const EmulatedFtdiBus *bus, int board);

/* The last bit mode set on the board: the direction mask (1 = output) and
 * the mode (0x00 = reset/off, 0x01 = asynchronous bit-bang, ...). */
unsigned char emulated_ftdi_bit_mask(const EmulatedFtdiBus *bus, int board);
unsigned char emulated_ftdi_bit_mode(const EmulatedFtdiBus *bus, int board);

/* Every byte the host sent to the board's bulk OUT endpoint since it was
 * added (or since the log was cleared), in order. Copies up to max bytes to
 * out (out may be NULL when max is 0) and returns the total length. */
size_t emulated_ftdi_written(const EmulatedFtdiBus *bus, int board, unsigned char *out, size_t max);
void emulated_ftdi_clear_written(EmulatedFtdiBus *bus, int board);
/* The pin levels the board went through, each change once, from its plug-in
 * (or its latest clear_written) on. The pins follow the output latch (the
 * last byte clocked out in bit-bang mode, 0x00 on a fresh chip) on the lines
 * the bit mask makes outputs; inputs and a chip out of bit-bang mode read
 * high. Copies up to max into out; returns how many there are. */
size_t emulated_ftdi_pin_history(const EmulatedFtdiBus *bus, int board, unsigned char *out, size_t max);

/* The board's timed history: one event for each thing that happened to it,
 * in order, with the chip's state after it. Times are CLOCK_MONOTONIC
 * microseconds (g_get_monotonic_time(), QElapsedTimer's clock), taken when
 * this process answered the request: a program under test runs with the
 * preload library in a child process, and its requests reach the board
 * through umockdev's socket, so the history of every program's access is
 * here, in the test process. */
typedef enum {
    EMULATED_FTDI_PLUG,    /* plugged in: a fresh chip, latch 0x00, not in bit-bang mode */
    EMULATED_FTDI_OPEN,    /* its device node was opened */
    EMULATED_FTDI_CLAIM,   /* the interface was claimed */
    EMULATED_FTDI_MODE,    /* a bit mode and direction mask were set */
    EMULATED_FTDI_WRITE,   /* one byte reached the bulk OUT endpoint */
    EMULATED_FTDI_READ,    /* the pins were read */
    EMULATED_FTDI_RELEASE, /* the interface was released */
    EMULATED_FTDI_CLOSE,   /* an open of its device node was closed (ends its claim) */
    EMULATED_FTDI_PULL,    /* pulled out */
} EmulatedFtdiCause;

typedef struct {
    long long time_us;
    unsigned char cause;   /* EmulatedFtdiCause */
    unsigned char claimed; /* 1 while some open of the node has the interface */
    unsigned char mode;    /* bit mode (0x00: not in bit-bang mode) */
    unsigned char mask;    /* direction mask, 1 = output */
    unsigned char latch;   /* the output latch: the last byte clocked out in bit-bang mode */
    unsigned char pins;    /* the resulting levels; lines not driven read 1 */
} EmulatedFtdiEvent;

/* Copies up to max events of the board's history, oldest first, to out;
 * returns how many there are (never cleared). */
size_t emulated_ftdi_history(const EmulatedFtdiBus *bus, int board, EmulatedFtdiEvent *out, size_t max);

/* Now on the history's clock. */
long long emulated_ftdi_now_us(void);

/* Non-zero while some program has the board's interface claimed. */
int emulated_ftdi_claimed(const EmulatedFtdiBus *bus, int board);

/* How many times the interface was claimed / released since the board was
 * added, and how many times its device node was opened. */
unsigned emulated_ftdi_claim_count(const EmulatedFtdiBus *bus, int board);
unsigned emulated_ftdi_release_count(const EmulatedFtdiBus *bus, int board);
unsigned emulated_ftdi_open_count(const EmulatedFtdiBus *bus, int board);

/* How many times the host asked to give the interface back to its kernel
 * driver (what libusb's auto-detach does after releasing it). */
unsigned emulated_ftdi_reattach_count(const EmulatedFtdiBus *bus, int board);

/* How many times the kernel's serial driver was taken off the interface, and
 * whether it has the interface now (only boards given a tty ever do). */
unsigned emulated_ftdi_detach_count(const EmulatedFtdiBus *bus, int board);
int emulated_ftdi_driver_bound(const EmulatedFtdiBus *bus, int board);

/* Index of the board with this serial number in the list that libftdi's
 * ftdi_usb_find_all(ctx, &list, 0, 0) returns right now, or -1. Asks libftdi
 * itself, so it only finds boards that are plugged in and not held by this
 * helper's caller in a way that blocks reading string descriptors. */
int emulated_ftdi_index_of_serial(const char *serial);

/* The same for the board at this sysfs name (works for boards without a
 * serial number or sharing one). */
int emulated_ftdi_index_of_port(const char *port);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_EMULATED_FTDI_H */
