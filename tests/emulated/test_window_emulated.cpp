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

// Plays `run` for `ticks` ticks and checks the board (unless -1) and the views after each.
#define PLAY(view, run, board, ticks)                                              \
    for (int t = 0; t < (ticks) && (run).running; ++t) {                           \
        (view).tick();                                                             \
        (run).tick();                                                              \
        QCOMPARE((view).form->runActive(), (run).running);                         \
        QCOMPARE((view).current(), (run).row);                                     \
        if ((board) >= 0)                                                          \
            QCOMPARE(emulated_ftdi_pins(bus(), (board)), (run).byte());            \
        QCOMPARE((view).indicators(), indicatorsFor((run).byte()));                \
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

    // Both boards open in bit-bang mode. Picking one shows its pins; the
    // manual buttons, ALL ON/OFF and a program (simulated ticks, then the
    // real 1 ms timer) drive its pins and never the other's. Closing the
    // window hands the first board back to its kernel driver; the library
    // lets go of the rest, and relays keep their state.
    void pickSwitchRunAndClose()
    {
        const int a = board_[0], b = board_[1];
        auto library = std::make_unique<FtdiLibrary>();
        auto form = std::make_unique<TForm1>(*library);
        View v{form.get()};
        QCOMPARE(form->ComboBox1->count(), 2);
        for (const int board : board_) {
            QCOMPARE(emulated_ftdi_claim_count(bus(), board), 1u);
            QCOMPARE(emulated_ftdi_bit_mode(bus(), board), std::uint8_t(0x01));
        }
        v.pickBoard(0);
        QCOMPARE(form->Panel27->text(), QStringLiteral("Board found !"));
        const std::uint8_t fresh = emulated_ftdi_pins(bus(), a);
        QCOMPARE(v.indicators(), indicatorsFor(fresh));
        QCOMPARE(v.row(0), patternOf(fresh) + QStringLiteral("-0"));
        click(form->Button9);
        v.pickBoard(1);
        QCOMPARE(v.indicators(), indicatorsFor(fresh));
        v.pickBoard(0);
        QCOMPARE(v.indicators(), indicatorsFor(0xFF));
        click(form->manualButton(8));
        QCOMPARE(v.row(0), QStringLiteral("11111110-0"));
        click(form->Button10);
        QCOMPARE(writtenTo(bus(), a), (Bytes{0xFF, 0x7F, 0x00}));

        const QStringList program{"10000001-3", "01100000-0", "00011110-2"};
        v.program(program);
        form->StringGrid4->setCurrentRow(2);
        emulated_ftdi_clear_written(bus(), a);
        RunModel run{program, false};
        click(form->Button34);
        run.pick(0);
        PLAY(v, run, a, 20);
        QVERIFY(!run.running);
        click(form->Button34);
        QVERIFY(QTest::qWaitFor([&] { return !form->runActive(); }, 5000));
        QCOMPARE(v.allRows(), program);
        QCOMPARE(writtenTo(bus(), a), (Bytes{0x81, 0x06, 0x78, 0x81, 0x06, 0x78}));
        QCOMPARE(emulated_ftdi_written(bus(), b, nullptr, 0), std::size_t(0));
        QCOMPARE(form->errorsReported(), 0);

        v.pickBoard(1);
        click(form->Button9);
        form->close();
        QCOMPARE(emulated_ftdi_reattach_count(bus(), a), 1u);
        QVERIFY(emulated_ftdi_claimed(bus(), b));
        form.reset();
        library.reset();
        QCOMPARE(emulated_ftdi_reattach_count(bus(), b), 1u);
        QCOMPARE(emulated_ftdi_pins(bus(), b), std::uint8_t(0xFF));
    }

    // The board a run plays on is pulled out: the run goes on on the screen
    // and nothing reaches any board; the board left is found and, once
    // picked, the run goes on there.
    void boardPulledOutWhileRunning()
    {
        const int first = board_[0], second = board_[1];
        FtdiLibrary library;
        TForm1 form(library);
        View v{&form};
        v.pickBoard(1);
        const QStringList program{"10000001-2", "01100000-1", "00011110-3"};
        v.program(program);
        form.StringGrid4->setCurrentRow(1);
        form.CheckBox1->setChecked(true);
        RunModel run{program, true};
        click(form.Button34);
        run.pick(0);
        PLAY(v, run, second, 4);
        const Bytes writtenBefore = writtenTo(bus(), second);
        emulated_ftdi_pull_out(bus(), second);
        PLAY(v, run, -1, 10);
        click(form.manualButton(5));
        QCOMPARE(v.indicators(), indicatorsFor(run.byte() ^ 0x10));
        click(form.manualButton(5));
        QCOMPARE(writtenTo(bus(), second), writtenBefore);

        v.dropDown();
        QCOMPARE(form.ComboBox1->count(), 1);
        click(form.manualButton(1));  // the selection still names the pulled board
        QCOMPARE(emulated_ftdi_written(bus(), first, nullptr, 0), std::size_t(0));
        v.pickBoard(0);
        run.rows[run.row] = patternOf(emulated_ftdi_pins(bus(), first)) + program.at(run.row).mid(8);
        PLAY(v, run, first, 8);
        QVERIFY(emulated_ftdi_written(bus(), first, nullptr, 0) > 0);
        QCOMPARE(form.errorsReported(), 0);
    }
};

QTEST_MAIN(WindowEmulatedTest)
#include "test_window_emulated.moc"
