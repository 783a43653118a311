// The main window on FtdiLibrary against two emulated FT232R boards: the
// real libftdi1 and libusb carry every relay operation down to the usbdevfs
// emulation, so these tests check the pins themselves.
#include "boardlink/ftdi_library.h"
#include "emulated_ftdi.h"
#include "window_fixture.h"

#include <QtTest>

using namespace fixture;

namespace {
Bytes writtenTo(const EmulatedFtdiBus* bus, int board)
{
    Bytes bytes(emulated_ftdi_written(bus, board, nullptr, 0));
    emulated_ftdi_written(bus, board, bytes.data(), bytes.size());
    return bytes;
}

QList<int> lamps(const TForm1& form)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << form.indicator(relay)->color();
    return out;
}
QList<int> lampsFor(std::uint8_t pins)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << ((pins >> (relay - 1)) & 1 ? Colors::Lime : Colors::Red);
    return out;
}
void pick(TForm1& form, int index)
{
    form.ComboBox1->setCurrentIndex(index);
    emit form.ComboBox1->activated(index);
}
}  // namespace

class WindowEmulatedTest : public QObject {
    Q_OBJECT
    std::unique_ptr<EmulatedFtdiBus, void (*)(EmulatedFtdiBus*)> bus_{nullptr, emulated_ftdi_bus_free};
    std::unique_ptr<WorkDir> work_;
    int board_[2] = {-1, -1};  // the emulated board behind list entry 0 and 1

    EmulatedFtdiBus* bus() const { return bus_.get(); }

private slots:
    void initTestCase()
    {
        if (!emulated_ftdi_available())
            QFAIL("umockdev's preload library is not active: run this test through umockdev-wrapper");
    }
    void init()
    {
        bus_.reset(emulated_ftdi_bus_new());
        const char* serials[2] = {"KW-RELAY-0001", "KW-RELAY-0002"};
        const int boards[2] = {emulated_ftdi_add_board(bus(), serials[0]), emulated_ftdi_add_board(bus(), serials[1])};
        for (int i = 0; i < 2; ++i) {
            const int index = emulated_ftdi_index_of_serial(serials[i]);  // libusb's order, newest first
            QVERIFY(boards[i] >= 0 && (index == 0 || index == 1));
            board_[index] = boards[i];
        }
        work_ = std::make_unique<WorkDir>();
    }
    void cleanup()
    {
        work_.reset();
        bus_.reset();
    }

    // Both boards open in bit-bang mode, and the window shows the first
    // board's pins without writing. The manual buttons, ALL ON/OFF and a
    // program on the real 1 ms timer drive the picked board's pins and never
    // the other's. Closing the window hands the first board back to its
    // kernel driver; the library lets go of the rest; relays keep their state.
    void pickSwitchRunAndClose()
    {
        const int a = board_[0], b = board_[1];
        auto library = std::make_unique<FtdiLibrary>();
        auto form = std::make_unique<TForm1>(*library);
        WindowSession& s = form->session();
        s.pause = [](int) {};
        QCOMPARE(form->ComboBox1->count(), 2);
        for (const int board : board_) {
            QCOMPARE(emulated_ftdi_claim_count(bus(), board), 1u);
            QCOMPARE(emulated_ftdi_bit_mode(bus(), board), std::uint8_t(0x01));
        }
        const std::uint8_t fresh = emulated_ftdi_pins(bus(), a);
        QCOMPARE(lamps(*form), lampsFor(fresh));
        QCOMPARE(writtenTo(bus(), a), Bytes{});
        pick(*form, 0);
        QCOMPARE(form->Panel27->text(), QStringLiteral("Board found !"));
        click(form->Button9);
        pick(*form, 1);
        QCOMPARE(lamps(*form), lampsFor(emulated_ftdi_pins(bus(), b)));
        pick(*form, 0);
        QCOMPARE(lamps(*form), lampsFor(0xFF));
        click(form->manualButton(8));
        QCOMPARE(s.program.text(0), QByteArray("11111110-0"));
        click(form->Button10);
        QCOMPARE(writtenTo(bus(), a), (Bytes{0xFF, 0x7F, 0x00}));

        const QStringList program{"10000001-3", "01100000-0", "00011110-2"};
        s.program.replaceAll(rowsOf(program));
        emulated_ftdi_clear_written(bus(), a);
        click(form->Button34);
        QVERIFY(QTest::qWaitFor([&] { return !s.runActive(); }, 5000));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x78));
        QCOMPARE(lamps(*form), lampsFor(0x78));
        QCOMPARE(s.program.rows(), rowsOf(program));
        QCOMPARE(writtenTo(bus(), a), (Bytes{0x81, 0x06, 0x78}));
        QCOMPARE(emulated_ftdi_written(bus(), b, nullptr, 0), std::size_t(0));
        QCOMPARE(form->errorsReported(), 0);

        pick(*form, 1);
        click(form->Button9);
        form->close();
        QCOMPARE(emulated_ftdi_reattach_count(bus(), a), 1u);
        QVERIFY(emulated_ftdi_claimed(bus(), b));
        form.reset();
        library.reset();
        QCOMPARE(emulated_ftdi_reattach_count(bus(), b), 1u);
        QCOMPARE(emulated_ftdi_pins(bus(), b), std::uint8_t(0xFF));
    }

    // A board whose serial port another program has locked is left alone:
    // listed, but neither claimed nor detached from its driver; the others work.
    void boardInUseIsLeftAlone()
    {
        const EmulatedFtdiBoard busy{"KW-BUSY", nullptr, nullptr, nullptr, "ttyUSB3"};
        const int c = emulated_ftdi_add_board_with(bus(), &busy);
        QTemporaryDir fake;
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        QVERIFY(QDir(fake.path()).mkpath("lock") && QDir(fake.path()).mkpath("proc/" + pid));
        writeFile(fake.filePath("lock/LCK..ttyUSB3"), pid + '\n');
        FtdiLibrary library({QString::fromUtf8(emulated_ftdi_sys_dir(bus())), fake.filePath("proc"),
                             fake.filePath("dev"), fake.filePath("lock")});
        TForm1 form(library);
        QCOMPARE(form.ComboBox1->count(), 3);
        pick(form, emulated_ftdi_index_of_serial("KW-BUSY"));
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board not found or already opened!"));
        QVERIFY(emulated_ftdi_claim_count(bus(), c) == 0 && emulated_ftdi_driver_bound(bus(), c));
        pick(form, emulated_ftdi_index_of_serial("KW-RELAY-0001"));
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board found !"));
        click(form.Button9);
        QCOMPARE(writtenTo(bus(), 0), Bytes{0xFF});  // the board added first
        QCOMPARE(writtenTo(bus(), c), Bytes{});
    }
};

QTEST_MAIN(WindowEmulatedTest)
#include "test_window_emulated.moc"
