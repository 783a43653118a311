// FtdiLibrary on the bare machine: whatever FTDI chips libusb sees are
// counted (on CI and the build machines that is none), and every operation
// on a handle that was never handed out fails without side effects.

#include "boardlink/ftdi_library.h"

#include <QtTest>

#include <libusb.h>

namespace {

// FTDI chips as libftdi's ftdi_usb_find_all(..., 0, 0) recognises them.
std::uint32_t ftdiChipsSeenByLibusb()
{
    libusb_context* usb = nullptr;
    if (libusb_init(&usb) != 0)
        return 0;
    libusb_device** devices = nullptr;
    const ssize_t n = libusb_get_device_list(usb, &devices);
    std::uint32_t found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(devices[i], &desc) == 0 && desc.idVendor == 0x0403 &&
            QList<int>{0x6001, 0x6010, 0x6011, 0x6014, 0x6015}.contains(desc.idProduct))
            ++found;
    }
    if (n >= 0)
        libusb_free_device_list(devices, 1);
    libusb_exit(usb);
    return found;
}

} // namespace

class FtdiLibraryBareTest : public QObject {
    Q_OBJECT

private slots:
    // Nothing opens at or beyond the count, and every operation on a handle
    // never handed out (zero, one, the largest) fails and leaves its outputs.
    void badIndicesAndHandlesFail()
    {
        FtdiLibrary library;
        std::uint32_t count = 12345;
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, ftdiChipsSeenByLibusb());
        UsbLibrary::Handle opened = 77;
        QCOMPARE(library.openByIndex(count, opened), UsbLibrary::Failed);
        QCOMPARE(opened, UsbLibrary::Handle(0));
        for (const UsbLibrary::Handle handle : {UsbLibrary::Handle(0), UsbLibrary::Handle(1), UsbLibrary::Handle(UINT32_MAX)}) {
            QCOMPARE(library.setBitMode(handle, 0xFF, 0x01), UsbLibrary::Failed);
            QCOMPARE(library.preWrite(handle), UsbLibrary::Failed);
            const std::uint8_t pattern[2] = {0xA5, 0x5A};
            std::uint32_t written = 99;
            QCOMPARE(library.write(handle, pattern, 2, written), UsbLibrary::Failed);
            QCOMPARE(written, std::uint32_t(0));
            std::uint8_t pins = 0x3C;
            QCOMPARE(library.readPins(handle, pins), UsbLibrary::Failed);
            QCOMPARE(pins, std::uint8_t(0x3C));
            QCOMPARE(library.close(handle), UsbLibrary::Failed);
        }
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryBareTest)
#include "test_ftdi_library_bare.moc"
