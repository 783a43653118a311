// FtdiLibrary against emulated FT232R boards: the real libftdi1 and libusb
// talk to umockdev's usbdevfs emulation, so these tests see what reaches the
// board, not just what FtdiLibrary asks libftdi for.
#include "boardlink/ftdi_library.h"
#include "emulated_ftdi.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;
using H = UsbLibrary::Handle;
constexpr auto Ok = UsbLibrary::Ok;
constexpr auto Failed = UsbLibrary::Failed;

Bytes writtenTo(const EmulatedFtdiBus* bus, int board)
{
    Bytes bytes(emulated_ftdi_written(bus, board, nullptr, 0));
    emulated_ftdi_written(bus, board, bytes.data(), bytes.size());
    return bytes;
}

UsbLibrary::Status drive(FtdiLibrary& library, H handle, std::uint8_t value)
{
    std::uint32_t written = 0;
    return library.preWrite(handle) == Ok && library.write(handle, &value, 1, written) == Ok && written == 1 ? Ok : Failed;
}

std::uint32_t count(FtdiLibrary& library)
{
    std::uint32_t n = 99;
    return library.countDevices(n) == Ok ? n : 99;
}
} // namespace

class FtdiLibraryEmulatedTest : public QObject {
    Q_OBJECT
    std::unique_ptr<EmulatedFtdiBus, void (*)(EmulatedFtdiBus*)> bus_{nullptr, emulated_ftdi_bus_free};
    EmulatedFtdiBus* bus() const { return bus_.get(); }

    int add(const char* serial) { return add(EmulatedFtdiBoard{serial, nullptr, nullptr, nullptr, nullptr}); }
    int add(const EmulatedFtdiBoard& options)
    {
        const int board = emulated_ftdi_add_board_with(bus(), &options);
        if (board < 0)
            qFatal("cannot add emulated board %s", options.serial);
        return board;
    }
    static std::uint32_t at(const char* port) { return std::uint32_t(emulated_ftdi_index_of_port(port)); }
    // Opens the board (libusb lists boards newest first) in bit-bang mode,
    // all pins outputs; 0 when that fails.
    H open(FtdiLibrary& library, int board)
    {
        const int index = emulated_ftdi_index_of_serial(emulated_ftdi_serial(bus(), board));
        H handle = 0;
        return index >= 0 && library.openByIndex(std::uint32_t(index), handle) == Ok &&
                       library.setBitMode(handle, 0xFF, 0x01) == Ok ? handle : 0;
    }

private slots:
    void initTestCase()
    {
        if (!emulated_ftdi_available())
            QFAIL("umockdev's preload library is not active: run this test through umockdev-wrapper");
    }
    void init() { bus_.reset(emulated_ftdi_bus_new()); QVERIFY(bus_); }
    void cleanup() { bus_.reset(); }

    // The count follows what is attached; no index at or beyond it opens.
    void countsWhatIsAttached()
    {
        FtdiLibrary library;
        QCOMPARE(count(library), 0u);
        const int first = add("KR400001");
        QCOMPARE(count(library), 1u);
        add("KR400002");
        QCOMPARE(count(library), 2u);
        H handle = 5;
        QCOMPARE(library.openByIndex(2, handle), Failed);
        QCOMPARE(handle, H(0));
        emulated_ftdi_pull_out(bus(), first);
        QCOMPARE(count(library), 1u);
    }

    // Two boards in bit-bang mode: each follows only its own writes and
    // reads back its own pins; closed, a board goes back to its kernel
    // driver and keeps its relays.
    void roundTripOnTwoBoards()
    {
        FtdiLibrary library;
        const int a = add("KR300001"), b = add("KR300002");
        const H ha = open(library, a), hb = open(library, b);
        QVERIFY(ha != 0 && hb != 0 && ha != hb);
        QCOMPARE(emulated_ftdi_bit_mask(bus(), a), std::uint8_t(0xFF));
        QCOMPARE(emulated_ftdi_bit_mode(bus(), b), std::uint8_t(0x01));
        for (const std::uint8_t value : {0xA5, 0x00, 0x81}) {
            QCOMPARE(drive(library, ha, value), Ok);
            QCOMPARE(drive(library, hb, std::uint8_t(~value)), Ok);
            std::uint8_t pins = 0x3C;
            QCOMPARE(library.readPins(ha, pins), Ok);
            QCOMPARE(pins, value);
            QCOMPARE(library.readPins(hb, pins), Ok);
            QCOMPARE(pins, std::uint8_t(~value));
        }
        QCOMPARE(emulated_ftdi_bit_mode(bus(), a), std::uint8_t(0x01));  // preWrite keeps the mode
        QCOMPARE(library.close(ha), Ok);
        QCOMPARE(drive(library, hb, 0x3C), Ok);
        QCOMPARE(writtenTo(bus(), a), (Bytes{0xA5, 0x00, 0x81}));
        QCOMPARE(writtenTo(bus(), b), (Bytes{0x5A, 0xFF, 0x7E, 0x3C}));
        QVERIFY(!emulated_ftdi_claimed(bus(), a));
        QCOMPARE(emulated_ftdi_reattach_count(bus(), a), 1u);
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x81));
    }

    // A board another program holds gives handle 0 until it is let go.
    void boardHeldElsewhereGivesNoHandle()
    {
        const int board = add("KR500001");
        emulated_ftdi_set_held_elsewhere(bus(), board, 1);
        FtdiLibrary library;
        H handle = 42;
        QCOMPARE(library.openByIndex(0, handle), Failed);
        QCOMPARE(handle, H(0));
        QCOMPARE(library.openCount(), std::size_t(0));
        QVERIFY2(library.lastError().contains("unable to claim"), qPrintable(library.lastError()));
        emulated_ftdi_set_held_elsewhere(bus(), board, 0);
        QCOMPARE(library.openByIndex(0, handle), Ok);
    }

    // After a pull-out every operation on the handle fails without reaching
    // a board, readPins leaves the caller's byte; the dead handle can still
    // be let go of, once.
    void boardPulledOutWhileOpen()
    {
        FtdiLibrary library;
        const int board = add("KR600001");
        const H handle = open(library, board);
        QCOMPARE(drive(library, handle, 0x55), Ok);
        emulated_ftdi_pull_out(bus(), board);
        QCOMPARE(drive(library, handle, 0xAA), Failed);
        std::uint8_t pins = 0x3C;
        QCOMPARE(library.readPins(handle, pins), Failed);
        QCOMPARE(pins, std::uint8_t(0x3C));
        QCOMPARE(library.setBitMode(handle, 0xFF, 0x01), Failed);
        QCOMPARE(writtenTo(bus(), board), Bytes{0x55});
        QCOMPARE(library.close(handle), Ok);
        QCOMPARE(library.close(handle), Failed);
        QCOMPARE(library.openCount(), std::size_t(0));
    }

    // A closed handle stays dead after the board is opened again; the
    // library's destructor lets go of every board it still holds.
    void closedHandlesAndDestructor()
    {
        const int a = add("KR700001"), b = add("KR700002");
        {
            FtdiLibrary library;
            const H first = open(library, a);
            QVERIFY(open(library, b) != 0);
            QCOMPARE(library.close(first), Ok);
            const H second = open(library, a);
            QVERIFY(second != 0 && second != first);
            QCOMPARE(library.setBitMode(first, 0x00, 0x00), Failed);
            QCOMPARE(drive(library, first, 0x00), Failed);
            QCOMPARE(emulated_ftdi_bit_mode(bus(), a), std::uint8_t(0x01));
            QCOMPARE(emulated_ftdi_written(bus(), a, nullptr, 0), std::size_t(0));
        }
        for (const int board : {a, b})
            QVERIFY(!emulated_ftdi_claimed(bus(), board));
        QCOMPARE(emulated_ftdi_release_count(bus(), a), 2u);
        FtdiLibrary next;
        QVERIFY(open(next, b) != 0);
    }

    // Each board tells its own strings and port: from its string descriptors,
    // or from sysfs where its node cannot be opened. Nothing is claimed and
    // the serial driver stays bound.
    void describesEachBoard()
    {
        const EmulatedFtdiBoard boards[] = {{"KR800001", "Relay Board 8", "Acme", "1-1.2", "ttyUSB0"},
                                            {"", "FT245R USB FIFO", "FTDI", "2-3", nullptr},
                                            {"KR800003", "Relay (sysfs)", "Maker", "1-1.4", nullptr}};
        for (const EmulatedFtdiBoard& board : boards)
            add(board);
        emulated_ftdi_lock_node(bus(), 2);
        FtdiLibrary library(SystemRoots{.sys = emulated_ftdi_sys_dir(bus())});
        for (int i = 0; i < 3; ++i) {
            DeviceInfo info;
            QCOMPARE(library.describe(at(boards[i].port), info), Ok);
            QCOMPARE(QStringList({info.serial, info.description, info.manufacturer, info.port}),
                     QStringList({boards[i].serial, boards[i].product, boards[i].manufacturer, boards[i].port}));
            QCOMPARE(info.bus, boards[i].port[0] - '0');
            QCOMPARE(emulated_ftdi_claim_count(bus(), i), 0u);
        }
        QVERIFY(emulated_ftdi_driver_bound(bus(), 0));
        DeviceInfo none;
        QCOMPARE(library.describe(3, none), Failed);
    }

    // A board whose serial port a program has open is refused before its
    // node is even opened, saying who has it; the other board opens.
    void boardInUseIsLeftAlone()
    {
        QTemporaryDir fake;
        const QString root = fake.path();
        QVERIFY(QDir(root).mkpath("proc/4321/fd"));
        QVERIFY(QFile::link(root + "/dev/ttyUSB0", root + "/proc/4321/fd/5"));
        QFile comm(root + "/proc/4321/comm");
        QVERIFY(comm.open(QIODevice::WriteOnly) && comm.write("minicom\n") > 0);
        comm.close();
        const int busy = add({"KR900001", nullptr, nullptr, "1-2", "ttyUSB0"});
        const int free = add({"KR900002", nullptr, nullptr, "1-3", "ttyUSB1"});
        FtdiLibrary library(SystemRoots{emulated_ftdi_sys_dir(bus()), root + "/proc", root + "/dev", root + "/lock"});
        H handle = 7;
        QCOMPARE(library.openByIndex(at("1-2"), handle), Failed);
        QCOMPARE(handle, H(0));
        QCOMPARE(library.lastError(), root + "/dev/ttyUSB0 is open in minicom (pid 4321)");
        QCOMPARE(emulated_ftdi_open_count(bus(), busy), 0u);
        QCOMPARE(emulated_ftdi_detach_count(bus(), busy), 0u);
        QVERIFY(emulated_ftdi_driver_bound(bus(), busy));
        QCOMPARE(library.openByIndex(at("1-3"), handle), Ok);
        QCOMPARE(emulated_ftdi_detach_count(bus(), free), 1u);
        QCOMPARE(library.close(handle), Ok);
        QVERIFY(emulated_ftdi_driver_bound(bus(), free));
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryEmulatedTest)
#include "test_ftdi_library_emulated.moc"
