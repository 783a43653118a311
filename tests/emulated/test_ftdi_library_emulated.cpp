// FtdiLibrary against emulated FT232R boards: the real libftdi1 and libusb
// talk to umockdev's usbdevfs emulation, so these tests cover what reaches
// the board, not just what FtdiLibrary asks libftdi for.

#include "boardlink/ftdi_library.h"
#include "emulated_ftdi.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t AllOutputs = 0xFF;
constexpr std::uint8_t BitBang = 0x01;

Bytes writtenTo(const EmulatedFtdiBus* bus, int board)
{
    Bytes bytes(emulated_ftdi_written(bus, board, nullptr, 0));
    emulated_ftdi_written(bus, board, bytes.data(), bytes.size());
    return bytes;
}

UsbLibrary::Status drive(FtdiLibrary& library, UsbLibrary::Handle handle, std::uint8_t value)
{
    std::uint32_t written = 0;
    const bool ok = library.preWrite(handle) == UsbLibrary::Ok &&
                    library.write(handle, &value, 1, written) == UsbLibrary::Ok && written == 1;
    return ok ? UsbLibrary::Ok : UsbLibrary::Failed;
}

std::uint32_t count(FtdiLibrary& library)
{
    std::uint32_t n = 99;
    return library.countDevices(n) == UsbLibrary::Ok ? n : 99;
}
} // namespace

class FtdiLibraryEmulatedTest : public QObject {
    Q_OBJECT

    struct BusDeleter {
        void operator()(EmulatedFtdiBus* bus) const { emulated_ftdi_bus_free(bus); }
    };
    std::unique_ptr<EmulatedFtdiBus, BusDeleter> bus_;
    EmulatedFtdiBus* bus() const { return bus_.get(); }

    int addBoard(const char* serial)
    {
        const int board = emulated_ftdi_add_board(bus(), serial);
        if (board < 0)
            qFatal("cannot add emulated board %s", serial);
        return board;
    }

    // Opens the board (libusb lists boards newest first) in bit-bang mode, all pins outputs.
    UsbLibrary::Handle openInBitBang(FtdiLibrary& library, int board)
    {
        const int index = emulated_ftdi_index_of_serial(emulated_ftdi_serial(bus(), board));
        UsbLibrary::Handle handle = 0;
        if (index < 0 || library.openByIndex(std::uint32_t(index), handle) != UsbLibrary::Ok ||
            library.setBitMode(handle, AllOutputs, BitBang) != UsbLibrary::Ok)
            return 0;
        return handle;
    }

private slots:
    void initTestCase()
    {
        if (!emulated_ftdi_available())
            QFAIL("umockdev's preload library is not active: run this test through umockdev-wrapper");
    }
    void init()
    {
        bus_.reset(emulated_ftdi_bus_new());
        QVERIFY(bus_);
    }
    void cleanup() { bus_.reset(); }

    // Every index below the count opens a different board, and no other index.
    void countsAndOpensWhatIsAttached()
    {
        FtdiLibrary library;
        QCOMPARE(count(library), 0u);
        addBoard("KR400001");
        QCOMPARE(count(library), 1u);
        addBoard("KR400002");
        const int third = addBoard("KR400003");
        QCOMPARE(count(library), 3u);
        for (std::uint32_t i = 0; i < 3; ++i) {
            UsbLibrary::Handle handle = 0;
            QCOMPARE(library.openByIndex(i, handle), UsbLibrary::Ok);
            QVERIFY(handle != 0);
        }
        for (int board = 0; board < 3; ++board)
            QCOMPARE(emulated_ftdi_claim_count(bus(), board), 1u);
        UsbLibrary::Handle handle = 5;
        QCOMPARE(library.openByIndex(3, handle), UsbLibrary::Failed);
        QCOMPARE(handle, UsbLibrary::Handle(0));
        emulated_ftdi_pull_out(bus(), third);
        QCOMPARE(count(library), 2u);
    }

    void roundTripOnOneBoard()
    {
        const int board = addBoard("KR200001");
        FtdiLibrary library;
        UsbLibrary::Handle handle = 0;
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Ok);
        QVERIFY(emulated_ftdi_claimed(bus(), board));
        std::uint8_t pins = 0;
        QCOMPARE(library.readPins(handle, pins), UsbLibrary::Ok);
        QCOMPARE(pins, std::uint8_t(0xFF));  // inputs before bit-bang mode read high
        QCOMPARE(library.setBitMode(handle, AllOutputs, BitBang), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_bit_mask(bus(), board), AllOutputs);
        QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);
        for (const std::uint8_t value : {std::uint8_t(0xA5), std::uint8_t(0x00), std::uint8_t(0x81)}) {
            QCOMPARE(drive(library, handle, value), UsbLibrary::Ok);
            QCOMPARE(emulated_ftdi_pins(bus(), board), value);
            QCOMPARE(library.readPins(handle, pins), UsbLibrary::Ok);
            QCOMPARE(pins, value);
        }
        QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);  // preWrite keeps the mode
        QCOMPARE(writtenTo(bus(), board), (Bytes{0xA5, 0x00, 0x81}));

        const std::uint8_t pattern[4] = {0x01, 0x02, 0x04, 0x08};
        std::uint32_t written = 0;
        QCOMPARE(library.write(handle, pattern, 4, written), UsbLibrary::Ok);
        QCOMPARE(written, 4u);
        QCOMPARE(writtenTo(bus(), board), (Bytes{0xA5, 0x00, 0x81, 0x01, 0x02, 0x04, 0x08}));

        QCOMPARE(library.close(handle), UsbLibrary::Ok);
        QVERIFY(!emulated_ftdi_claimed(bus(), board));
        QCOMPARE(emulated_ftdi_reattach_count(bus(), board), 1u);  // back to its kernel driver
        QCOMPARE(emulated_ftdi_pins(bus(), board), std::uint8_t(0x08));  // relays keep their state
    }

    // Two boards: each follows only its own writes, and closing one leaves
    // the other working.
    void eachBoardFollowsOnlyItsOwnWrites()
    {
        const int a = addBoard("KR300001");
        const int b = addBoard("KR300002");
        FtdiLibrary library;
        const UsbLibrary::Handle ha = openInBitBang(library, a);
        const UsbLibrary::Handle hb = openInBitBang(library, b);
        QVERIFY(ha != 0 && hb != 0 && ha != hb);
        QCOMPARE(drive(library, ha, 0x0F), UsbLibrary::Ok);
        QCOMPARE(drive(library, hb, 0xF0), UsbLibrary::Ok);
        std::uint8_t pins = 0;
        QCOMPARE(library.readPins(hb, pins), UsbLibrary::Ok);
        QCOMPARE(pins, std::uint8_t(0xF0));
        QCOMPARE(library.close(ha), UsbLibrary::Ok);
        QCOMPARE(drive(library, hb, 0x3C), UsbLibrary::Ok);
        QCOMPARE(writtenTo(bus(), a), Bytes{0x0F});
        QCOMPARE(writtenTo(bus(), b), (Bytes{0xF0, 0x3C}));
    }

    // A board another program holds gives no handle until it is let go.
    void boardHeldElsewhereGivesNoHandle()
    {
        const int board = addBoard("KR500001");
        emulated_ftdi_set_held_elsewhere(bus(), board, 1);
        FtdiLibrary library;
        QCOMPARE(count(library), 1u);
        UsbLibrary::Handle handle = 42;
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Failed);
        QCOMPARE(handle, UsbLibrary::Handle(0));
        QCOMPARE(library.openCount(), std::size_t(0));
        emulated_ftdi_set_held_elsewhere(bus(), board, 0);
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Ok);
    }

    // After a pull-out every operation on the handle fails without reaching
    // a board; the dead handle can still be let go of, once.
    void boardPulledOutWhileOpen()
    {
        const int board = addBoard("KR600001");
        FtdiLibrary library;
        const UsbLibrary::Handle handle = openInBitBang(library, board);
        QCOMPARE(drive(library, handle, 0x55), UsbLibrary::Ok);
        emulated_ftdi_pull_out(bus(), board);
        QCOMPARE(drive(library, handle, 0xAA), UsbLibrary::Failed);
        std::uint8_t pins = 0x3C;
        QCOMPARE(library.readPins(handle, pins), UsbLibrary::Failed);
        QCOMPARE(pins, std::uint8_t(0x3C));
        QCOMPARE(library.setBitMode(handle, AllOutputs, BitBang), UsbLibrary::Failed);
        QCOMPARE(writtenTo(bus(), board), Bytes{0x55});
        QCOMPARE(library.close(handle), UsbLibrary::Ok);
        QCOMPARE(library.close(handle), UsbLibrary::Failed);
        QCOMPARE(library.openCount(), std::size_t(0));
    }

    // A closed handle stays dead after the board is opened again; the
    // library's destructor lets go of every board it still holds.
    void closedHandlesStayDead()
    {
        const int board = addBoard("KR700001");
        {
            FtdiLibrary library;
            const UsbLibrary::Handle first = openInBitBang(library, board);
            QCOMPARE(library.close(first), UsbLibrary::Ok);
            QCOMPARE(emulated_ftdi_release_count(bus(), board), 1u);
            const UsbLibrary::Handle second = openInBitBang(library, board);
            QVERIFY(second != 0 && second != first);
            QCOMPARE(library.setBitMode(first, 0x00, 0x00), UsbLibrary::Failed);
            QCOMPARE(drive(library, first, 0x00), UsbLibrary::Failed);
            QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);
            QCOMPARE(emulated_ftdi_written(bus(), board, nullptr, 0), std::size_t(0));
        }
        QVERIFY(!emulated_ftdi_claimed(bus(), board));
        QCOMPARE(emulated_ftdi_release_count(bus(), board), 2u);
        FtdiLibrary next;
        QVERIFY(openInBitBang(next, board) != 0);
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryEmulatedTest)
#include "test_ftdi_library_emulated.moc"
