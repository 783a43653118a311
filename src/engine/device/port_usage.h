#pragma once

#include <QString>
#include <QStringList>

// Where the system shows what PortUsage reads. The defaults are the real
// system; tests point them at trees of their own.
struct SystemRoots {
    QString sys = QStringLiteral("/sys");
    QString proc = QStringLiteral("/proc");
    QString dev = QStringLiteral("/dev");
    QString lock = QStringLiteral("/run/lock");
};

// Who is using a serial port, as far as PortUsage could see.
struct PortUse {
    bool inUse = false;
    QString port;      // the tty's device node, e.g. "/dev/ttyUSB0"
    QString process;   // the process's name, escaped (printableText); empty when unknown
    qint64 pid = 0;    // 0 when unknown
    bool locked = false; // known from a lock file rather than an open file

    // For a person: "/dev/ttyUSB0 is open in minicom (pid 1234)". Empty when
    // the port is not in use.
    QString message() const;
};

// Whether the serial ports the kernel made for a USB device are in use, so
// that a device is not taken from its serial driver under a program that
// talks to it.
//
// A port is in use when a process has its device node open (seen through
// /proc/PID/fd, which shows only this user's processes unless privileged) or
// when a UUCP lock file (LCK..ttyUSB0 in the lock directory) names a process
// that is alive. A lock file whose process is gone is stale and ignored; one
// that names no process is taken as in use. Best effort: a process of
// another user that opened the port without locking it is invisible.
class PortUsage {
public:
    explicit PortUsage(SystemRoots roots = {});

    const SystemRoots& roots() const { return roots_; }

    // The serial ports of the USB device with this sysfs name (e.g. "1-1.2"):
    // the ttyUSB* entries under its interfaces, sorted. Empty when the serial
    // driver has none bound, or the device is unknown.
    QStringList serialPorts(const QString& usbDevice) const;

    // The first of the device's serial ports found in use; inUse false when
    // none is (or the device has none).
    PortUse check(const QString& usbDevice) const;

    // Every process but this one that has the device node open (e.g. a USB
    // device's "/dev/bus/usb/001/002"), seen the same way as an open port.
    QList<PortUse> openers(const QString& node) const;

private:
    // The processes that have one of nodes open; only the first unless all.
    QList<PortUse> openIn(const QStringList& nodes, bool all) const;
    PortUse lockedBy(const QString& tty) const;
    bool alive(qint64 pid) const;
    QString processName(qint64 pid) const;

    SystemRoots roots_;
};
