// FtdiLibrary against emulated FT232R boards: the real libftdi1 and libusb
// talk to umockdev's usbdevfs emulation, so these tests see what reaches the
// board, not just what FtdiLibrary asks libftdi for.
#include "engine/device/ftdi_library.h"
#include "safety_monitor.h"

#include <QtTest>

#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;
using H = UsbLibrary::Handle;
constexpr auto Ok = UsbLibrary::Ok;
constexpr auto Failed = UsbLibrary::Failed;

UsbLibrary::Status drive(FtdiLibrary& library, H handle, std::uint8_t value)
{
    std::uint32_t written = 0;
    return library.preWrite(handle) == Ok && library.write(handle, &value, 1, written) == Ok && written == 1 ? Ok : Failed;
}
// The device at port as the library lists it now.
DeviceInfo at(FtdiLibrary& library, const QString& port)
{
    QList<DeviceInfo> devices;
    library.enumerate(devices);
    for (const DeviceInfo& device : devices)
        if (device.port == port)
            return device;
    return {};
}
} // namespace

class FtdiLibraryEmulatedTest : public QObject {
    Q_OBJECT
    safety::MonitoredBus bus_;
    EmulatedFtdiBus* bus() const { return bus_.get(); }

    int add(const EmulatedFtdiBoard& board) { return emulated_ftdi_add_board_with(bus(), &board); }
    // Opens the board in bit-bang mode, all pins outputs; 0 when that fails.
    H open(FtdiLibrary& library, int board)
    {
        H handle = 0;
        return library.open(at(library, emulated_ftdi_port(bus(), board)), handle) == Ok &&
                       library.setBitMode(handle, 0xFF, 0x01) == Ok ? handle : 0;
    }

private slots:
    void init() { bus_.start(); }
    void cleanup() { bus_.finish(); }

    // Two boards in bit-bang mode: each follows only its own writes and
    // reads back its own pins. A closed board's old handle stays dead once
    // the board is open again under a new one (that a closed board goes back
    // to its kernel driver and keeps its relays, the command-line tests check
    // after every command). The library's destructor lets go of every
    // board it still holds. After a pull-out every operation on the handle
    // fails without reaching a board, readPins leaves the caller's byte; the
    // dead handle can still be let go of, once. So does every operation on
    // a handle never handed out.
    void twoBoardsAndDeadHandles()
    {
        const int a = emulated_ftdi_add_board(bus(), "KR300001"), b = emulated_ftdi_add_board(bus(), "KR300002");
        {
            FtdiLibrary library;
            const H ha = open(library, a), hb = open(library, b);
            QVERIFY(ha != 0 && hb != 0 && ha != hb);
            for (const std::uint8_t value : {0xA5, 0x00, 0x81}) {
                QCOMPARE(drive(library, ha, value), Ok);
                QCOMPARE(drive(library, hb, std::uint8_t(~value)), Ok);
                std::uint8_t pins[2] = {0x3C, 0x3C};
                QVERIFY(library.readPins(ha, pins[0]) == Ok && library.readPins(hb, pins[1]) == Ok);
                QCOMPARE(Bytes(pins, pins + 2), (Bytes{value, std::uint8_t(~value)}));
            }
            QCOMPARE(library.close(ha), Ok);
            const H again = open(library, a);
            QVERIFY(again != 0 && again != ha);
            QCOMPARE(library.setBitMode(ha, 0x00, 0x00), Failed);
            QCOMPARE(drive(library, ha, 0x00), Failed);
            QCOMPARE(emulated_ftdi_bit_mode(bus(), a), std::uint8_t(0x01));
            QCOMPARE(drive(library, hb, 0x3C), Ok);
            QCOMPARE(bus_.written(a), (Bytes{0xA5, 0x00, 0x81}));
            QCOMPARE(bus_.written(b), (Bytes{0x5A, 0xFF, 0x7E, 0x3C}));
            const int c = emulated_ftdi_add_board(bus(), "KR600001");
            const H hc = open(library, c);
            QCOMPARE(drive(library, hc, 0x55), Ok);
            emulated_ftdi_pull_out(bus(), c);
            QCOMPARE(drive(library, hc, 0xAA), Failed);
            std::uint8_t pins = 0x3C;
            QVERIFY(library.readPins(hc, pins) == Failed && pins == 0x3C);
            QCOMPARE(library.setBitMode(hc, 0xFF, 0x01), Failed);
            QCOMPARE(bus_.written(c), Bytes{0x55});
            QCOMPARE(library.close(hc), Ok);
            QCOMPARE(library.close(hc), Failed);
            for (const H never : {H(0), H(UINT32_MAX)}) {  // handles never handed out
                std::uint32_t written = 9;
                QVERIFY(library.setBitMode(never, 0xFF, 0x01) == Failed && library.preWrite(never) == Failed && library.close(never) == Failed);
                QVERIFY(library.write(never, &pins, 1, written) == Failed && written == 0 && library.readPins(never, pins) == Failed && pins == 0x3C);
            }
            QCOMPARE(library.openCount(), std::size_t(2));  // a again and b
        }
        QVERIFY(!emulated_ftdi_claimed(bus(), a) && !emulated_ftdi_claimed(bus(), b));
        QCOMPARE(emulated_ftdi_release_count(bus(), a), 2u);
    }

    // A board another program has claimed is refused naming every process
    // that has its node open; a device that is no longer the one listed
    // (gone, or another in its place) is not touched. Each gives handle 0.
    void boardsInUseAreLeftAlone()
    {
        QTemporaryDir fake;
        const QString root = fake.path();
        const int gone = add({"KR900002", nullptr, nullptr, "1-3", "ttyUSB1"}), held = add({"KR900003", nullptr, nullptr, "1-4", nullptr});
        emulated_ftdi_set_held_elsewhere(bus(), held, 1);
        FtdiLibrary library(SystemRoots{emulated_ftdi_sys_dir(bus()), root + "/proc", root + "/dev", root + "/lock"});
        const DeviceInfo heldInfo = at(library, "1-4"), goneInfo = at(library, "1-3");
        const auto refused = [&](const DeviceInfo& device, const QString& why) {
            H handle = 7;
            QVERIFY(library.open(device, handle) == Failed && handle == 0);
            QCOMPARE(library.lastError(), why);
        };
        const QString node = root + QStringLiteral("/dev/bus/usb/001/%1").arg(heldInfo.address, 3, 10, QLatin1Char('0'));
        for (const auto& [pid, name] : {std::pair("77", "kestrune-mqtt\n"), std::pair("78", "kestrune-cli\n")}) {
            const QString proc = root + "/proc/" + pid;
            QFile comm(proc + "/comm");
            QVERIFY(QDir().mkpath(proc + "/fd") && QFile::link(node, proc + "/fd/5") && comm.open(QIODevice::WriteOnly) && comm.write(name) > 0);
        }
        refused(heldInfo, "board KR900003 (port 1-4) is open in kestrune-mqtt (pid 77) and kestrune-cli (pid 78)");
        emulated_ftdi_pull_out(bus(), gone);
        refused(goneInfo, "board KR900002 (port 1-3) is no longer attached");
        const int other = add({"KR900009", nullptr, nullptr, "1-3", nullptr});
        refused(DeviceInfo{goneInfo.serial, {}, {}, 1, at(library, "1-3").address, "1-3"},
                "board KR900002 (port 1-3) is no longer attached: the board at that port has serial number KR900009");
        QCOMPARE(emulated_ftdi_claim_count(bus(), other), 0u);
    }
};

QTEST_GUILESS_MAIN(FtdiLibraryEmulatedTest)
#include "test_ftdi_library_emulated.moc"
