// FtdiLibrary on the bare machine, with the real libusb and no emulation: on
// CI there is no FTDI chip, and every operation on a handle that was never
// handed out fails without side effects.
#include "engine/device/ftdi_library.h"

#include <QtTest>

class FtdiLibraryBareTest : public QObject {
    Q_OBJECT
private slots:
    void badIndicesAndHandlesFail()
    {
        FtdiLibrary library;
        QList<DeviceInfo> devices{DeviceInfo{}};
        QCOMPARE(library.enumerate(devices), UsbLibrary::Ok);
        if (!devices.isEmpty())
            QSKIP("an FTDI device is attached");
        UsbLibrary::Handle opened = 77;
        QCOMPARE(library.open(DeviceInfo{"KX1", {}, {}, 1, 2, "1-1"}, opened), UsbLibrary::Failed);
        QCOMPARE(opened, UsbLibrary::Handle(0));
        for (const UsbLibrary::Handle handle : {UsbLibrary::Handle(0), UsbLibrary::Handle(1), UsbLibrary::Handle(UINT32_MAX)}) {
            const std::uint8_t pattern[2] = {0xA5, 0x5A};
            std::uint32_t written = 99;
            std::uint8_t pins = 0x3C;
            QVERIFY(library.setBitMode(handle, 0xFF, 0x01) == UsbLibrary::Failed && library.preWrite(handle) == UsbLibrary::Failed && library.close(handle) == UsbLibrary::Failed);
            QCOMPARE(library.write(handle, pattern, 2, written), UsbLibrary::Failed);
            QCOMPARE(library.readPins(handle, pins), UsbLibrary::Failed);
            QVERIFY(written == 0 && pins == 0x3C);
        }
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryBareTest)
#include "test_ftdi_library_bare.moc"
