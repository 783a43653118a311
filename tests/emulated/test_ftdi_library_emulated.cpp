// FtdiLibrary against emulated FT232R boards: the real libftdi1 and libusb
// talk to umockdev's usbdevfs emulation, so these tests cover what reaches
// the board, not just what FtdiLibrary asks libftdi for.

#include "boardlink/ftdi_library.h"
#include "emulated_ftdi.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr std::uint8_t AllOutputs = 0xFF;
constexpr std::uint8_t BitBang = 0x01;

std::vector<std::uint8_t> writtenTo(const EmulatedFtdiBus* bus, int board)
{
    std::vector<std::uint8_t> bytes(emulated_ftdi_written(bus, board, nullptr, 0));
    emulated_ftdi_written(bus, board, bytes.data(), bytes.size());
    return bytes;
}

} // namespace

class FtdiLibraryEmulatedTest : public QObject {
    Q_OBJECT

public:
    struct BusDeleter {
        void operator()(EmulatedFtdiBus* bus) const { emulated_ftdi_bus_free(bus); }
    };

private:
    std::unique_ptr<EmulatedFtdiBus, BusDeleter> bus_;

    EmulatedFtdiBus* bus() const { return bus_.get(); }

    int addBoard(const char* serial)
    {
        const int board = emulated_ftdi_add_board(bus(), serial);
        if (board < 0)
            qFatal("cannot add emulated board %s", serial);
        return board;
    }

    // Index of the board for openByIndex(): libusb lists boards newest first.
    std::uint32_t indexOf(int board)
    {
        const int index = emulated_ftdi_index_of_serial(emulated_ftdi_serial(bus(), board));
        if (index < 0)
            qFatal("emulated board %d is not listed", board);
        return std::uint32_t(index);
    }

    // Opens the board and puts it in bit-bang mode, all pins outputs.
    UsbLibrary::Handle openInBitBang(FtdiLibrary& library, int board)
    {
        UsbLibrary::Handle handle = 0;
        if (library.openByIndex(indexOf(board), handle) != UsbLibrary::Ok || handle == 0)
            return 0;
        if (library.setBitMode(handle, AllOutputs, BitBang) != UsbLibrary::Ok)
            return 0;
        return handle;
    }

    static UsbLibrary::Status drive(FtdiLibrary& library, UsbLibrary::Handle handle, std::uint8_t value)
    {
        if (library.preWrite(handle) != UsbLibrary::Ok)
            return UsbLibrary::Failed;
        std::uint32_t written = 0;
        const UsbLibrary::Status status = library.write(handle, &value, 1, written);
        return status == UsbLibrary::Ok && written == 1 ? UsbLibrary::Ok : UsbLibrary::Failed;
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

    // --- counting -------------------------------------------------------------

    void countsNoBoard()
    {
        FtdiLibrary library;
        std::uint32_t count = 99;
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(0));
    }

    void countsOneThenTwoBoards()
    {
        FtdiLibrary library;
        std::uint32_t count = 99;

        addBoard("KR100001");
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(1));

        addBoard("KR100002");
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(2));
    }

    void countDropsWhenABoardIsPulledOut()
    {
        FtdiLibrary library;
        std::uint32_t count = 0;
        addBoard("KR100001");
        const int second = addBoard("KR100002");
        emulated_ftdi_pull_out(bus(), second);
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(1));
    }

    // --- open, bit mode, write, read pins -------------------------------------

    void roundTripOnOneBoard()
    {
        const int board = addBoard("KR200001");
        FtdiLibrary library;

        UsbLibrary::Handle handle = 0;
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Ok);
        QVERIFY(handle != 0);
        QVERIFY(emulated_ftdi_claimed(bus(), board));

        // Before bit-bang mode the pins are inputs and read high.
        std::uint8_t pins = 0;
        QCOMPARE(library.readPins(handle, pins), UsbLibrary::Ok);
        QCOMPARE(pins, std::uint8_t(0xFF));

        QCOMPARE(library.setBitMode(handle, AllOutputs, BitBang), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_bit_mask(bus(), board), AllOutputs);
        QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);

        for (const std::uint8_t value : {std::uint8_t(0xA5), std::uint8_t(0x00), std::uint8_t(0x81)}) {
            QCOMPARE(library.preWrite(handle), UsbLibrary::Ok);
            std::uint32_t written = 0;
            QCOMPARE(library.write(handle, &value, 1, written), UsbLibrary::Ok);
            QCOMPARE(written, std::uint32_t(1));
            QCOMPARE(emulated_ftdi_pins(bus(), board), value);
            pins = std::uint8_t(~value);
            QCOMPARE(library.readPins(handle, pins), UsbLibrary::Ok);
            QCOMPARE(pins, value);
        }
        // preWrite left the board in bit-bang mode.
        QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);
        QCOMPARE(writtenTo(bus(), board), (std::vector<std::uint8_t>{0xA5, 0x00, 0x81}));

        QCOMPARE(library.close(handle), UsbLibrary::Ok);
        QVERIFY(!emulated_ftdi_claimed(bus(), board));
        // The board was handed back to its kernel driver.
        QCOMPARE(emulated_ftdi_reattach_count(bus(), board), 1u);
        // The relays keep their state after the program lets go.
        QCOMPARE(emulated_ftdi_pins(bus(), board), std::uint8_t(0x81));
    }

    void writeTakesSeveralBytes()
    {
        const int board = addBoard("KR200002");
        FtdiLibrary library;
        const UsbLibrary::Handle handle = openInBitBang(library, board);
        QVERIFY(handle != 0);

        const std::uint8_t pattern[4] = {0x01, 0x02, 0x04, 0x08};
        std::uint32_t written = 0;
        QCOMPARE(library.write(handle, pattern, 4, written), UsbLibrary::Ok);
        QCOMPARE(written, std::uint32_t(4));
        QCOMPARE(writtenTo(bus(), board), (std::vector<std::uint8_t>{0x01, 0x02, 0x04, 0x08}));
        QCOMPARE(emulated_ftdi_pins(bus(), board), std::uint8_t(0x08));

        written = 7;
        QCOMPARE(library.write(handle, pattern, 0, written), UsbLibrary::Ok);
        QCOMPARE(written, std::uint32_t(0));
        QCOMPARE(emulated_ftdi_written(bus(), board, nullptr, 0), std::size_t(4));
    }

    void eachBoardFollowsOnlyItsOwnWrites()
    {
        const int a = addBoard("KR300001");
        const int b = addBoard("KR300002");
        FtdiLibrary library;

        const UsbLibrary::Handle ha = openInBitBang(library, a);
        const UsbLibrary::Handle hb = openInBitBang(library, b);
        QVERIFY(ha != 0);
        QVERIFY(hb != 0);
        QVERIFY(ha != hb);

        QCOMPARE(drive(library, ha, 0x0F), UsbLibrary::Ok);
        QCOMPARE(drive(library, hb, 0xF0), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x0F));
        QCOMPARE(emulated_ftdi_pins(bus(), b), std::uint8_t(0xF0));

        QCOMPARE(drive(library, ha, 0x01), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x01));
        QCOMPARE(emulated_ftdi_pins(bus(), b), std::uint8_t(0xF0));

        std::uint8_t pins = 0;
        QCOMPARE(library.readPins(ha, pins), UsbLibrary::Ok);
        QCOMPARE(pins, std::uint8_t(0x01));
        QCOMPARE(library.readPins(hb, pins), UsbLibrary::Ok);
        QCOMPARE(pins, std::uint8_t(0xF0));

        QCOMPARE(writtenTo(bus(), a), (std::vector<std::uint8_t>{0x0F, 0x01}));
        QCOMPARE(writtenTo(bus(), b), (std::vector<std::uint8_t>{0xF0}));

        // Closing one board leaves the other one working.
        QCOMPARE(library.close(ha), UsbLibrary::Ok);
        QCOMPARE(drive(library, hb, 0x3C), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_pins(bus(), b), std::uint8_t(0x3C));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x01));
    }

    void indexFollowsTheListThatIsCounted()
    {
        addBoard("KR400001");
        addBoard("KR400002");
        addBoard("KR400003");
        FtdiLibrary library;
        std::uint32_t count = 0;
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(3));

        // Every index below the count opens a different board.
        std::vector<UsbLibrary::Handle> handles;
        for (std::uint32_t i = 0; i < count; ++i) {
            UsbLibrary::Handle handle = 0;
            QCOMPARE(library.openByIndex(i, handle), UsbLibrary::Ok);
            handles.push_back(handle);
        }
        for (int board = 0; board < 3; ++board) {
            QVERIFY(emulated_ftdi_claimed(bus(), board));
            QCOMPARE(emulated_ftdi_claim_count(bus(), board), 1u);
        }
        UsbLibrary::Handle handle = 5;
        QCOMPARE(library.openByIndex(count, handle), UsbLibrary::Failed);
        QCOMPARE(handle, UsbLibrary::Handle(0));
    }

    // --- failures ---------------------------------------------------------------

    void boardHeldElsewhereGivesNoHandle()
    {
        const int board = addBoard("KR500001");
        emulated_ftdi_set_held_elsewhere(bus(), board, 1);
        FtdiLibrary library;

        std::uint32_t count = 0;
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(1));

        UsbLibrary::Handle handle = 42;
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Failed);
        QCOMPARE(handle, UsbLibrary::Handle(0));
        QCOMPARE(library.openCount(), std::size_t(0));
        QVERIFY(!emulated_ftdi_claimed(bus(), board));

        // Once the other program lets go it opens normally.
        emulated_ftdi_set_held_elsewhere(bus(), board, 0);
        QCOMPARE(library.openByIndex(0, handle), UsbLibrary::Ok);
        QVERIFY(handle != 0);
    }

    void boardPulledOutWhileOpen()
    {
        const int board = addBoard("KR600001");
        const int other = addBoard("KR600002");
        FtdiLibrary library;
        const UsbLibrary::Handle handle = openInBitBang(library, board);
        const UsbLibrary::Handle otherHandle = openInBitBang(library, other);
        QVERIFY(handle != 0);
        QVERIFY(otherHandle != 0);
        QCOMPARE(drive(library, handle, 0x55), UsbLibrary::Ok);

        emulated_ftdi_pull_out(bus(), board);

        QCOMPARE(library.preWrite(handle), UsbLibrary::Failed);
        const std::uint8_t value = 0xAA;
        std::uint32_t written = 9;
        QCOMPARE(library.write(handle, &value, 1, written), UsbLibrary::Failed);
        QCOMPARE(written, std::uint32_t(0));
        std::uint8_t pins = 0x3C;
        QCOMPARE(library.readPins(handle, pins), UsbLibrary::Failed);
        QCOMPARE(pins, std::uint8_t(0x3C));
        QCOMPARE(library.setBitMode(handle, AllOutputs, BitBang), UsbLibrary::Failed);
        QCOMPARE(writtenTo(bus(), board), (std::vector<std::uint8_t>{0x55}));

        // The other board is not disturbed.
        QCOMPARE(drive(library, otherHandle, 0x42), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_pins(bus(), other), std::uint8_t(0x42));

        // The dead handle can still be let go of, once.
        QCOMPARE(library.close(handle), UsbLibrary::Ok);
        QCOMPARE(library.close(handle), UsbLibrary::Failed);
        QCOMPARE(library.openCount(), std::size_t(1));

        std::uint32_t count = 0;
        QCOMPARE(library.countDevices(count), UsbLibrary::Ok);
        QCOMPARE(count, std::uint32_t(1));
    }

    void closeTwiceStaleAndZeroHandlesAreSafe()
    {
        const int board = addBoard("KR700001");
        FtdiLibrary library;
        const UsbLibrary::Handle first = openInBitBang(library, board);
        QVERIFY(first != 0);

        QCOMPARE(library.close(first), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_release_count(bus(), board), 1u);
        QCOMPARE(library.close(first), UsbLibrary::Failed);
        QCOMPARE(library.close(0), UsbLibrary::Failed);
        QCOMPARE(emulated_ftdi_release_count(bus(), board), 1u);

        // Reopening gives a new handle; the old one stays dead.
        const UsbLibrary::Handle second = openInBitBang(library, board);
        QVERIFY(second != 0);
        QVERIFY(second != first);

        for (const UsbLibrary::Handle bad : {first, UsbLibrary::Handle(0), UsbLibrary::Handle(second + 1)}) {
            QCOMPARE(library.setBitMode(bad, 0x00, 0x00), UsbLibrary::Failed);
            QCOMPARE(library.preWrite(bad), UsbLibrary::Failed);
            const std::uint8_t value = 0x00;
            std::uint32_t written = 3;
            QCOMPARE(library.write(bad, &value, 1, written), UsbLibrary::Failed);
            QCOMPARE(written, std::uint32_t(0));
            std::uint8_t pins = 0x3C;
            QCOMPARE(library.readPins(bad, pins), UsbLibrary::Failed);
            QCOMPARE(pins, std::uint8_t(0x3C));
            QCOMPARE(library.close(bad), UsbLibrary::Failed);
        }
        // None of that reached the board, nor disturbed the live handle.
        QCOMPARE(emulated_ftdi_bit_mode(bus(), board), BitBang);
        QCOMPARE(emulated_ftdi_written(bus(), board, nullptr, 0), std::size_t(0));
        QCOMPARE(drive(library, second, 0x99), UsbLibrary::Ok);
        QCOMPARE(emulated_ftdi_pins(bus(), board), std::uint8_t(0x99));
    }

    void destructorClosesEveryBoardStillOpen()
    {
        const int a = addBoard("KR800001");
        const int b = addBoard("KR800002");
        {
            FtdiLibrary library;
            QVERIFY(openInBitBang(library, a) != 0);
            QVERIFY(openInBitBang(library, b) != 0);
            QVERIFY(emulated_ftdi_claimed(bus(), a));
            QVERIFY(emulated_ftdi_claimed(bus(), b));
            QCOMPARE(library.openCount(), std::size_t(2));
        }
        QVERIFY(!emulated_ftdi_claimed(bus(), a));
        QVERIFY(!emulated_ftdi_claimed(bus(), b));
        QCOMPARE(emulated_ftdi_release_count(bus(), a), 1u);
        QCOMPARE(emulated_ftdi_release_count(bus(), b), 1u);

        // Both boards are free for the next program.
        FtdiLibrary next;
        QVERIFY(openInBitBang(next, a) != 0);
        QVERIFY(openInBitBang(next, b) != 0);
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryEmulatedTest)
#include "test_ftdi_library_emulated.moc"
