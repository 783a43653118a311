// The main window on FtdiLibrary against two emulated FT232R boards: the
// real libftdi1 and libusb carry every relay operation of the window down
// to the usbdevfs emulation, so these tests check the pins themselves.

#include "boardlink/ftdi_library.h"
#include "emulated_ftdi.h"
#include "window_fixture.h"

#include <QtTest>

#include <memory>
#include <vector>

using fixture::click;

namespace {

constexpr int Red = 255;
constexpr int Lime = 65280;
constexpr const char* SerialA = "KW-RELAY-0001";
constexpr const char* SerialB = "KW-RELAY-0002";

std::vector<std::uint8_t> writtenTo(const EmulatedFtdiBus* bus, int board)
{
    std::vector<std::uint8_t> bytes(emulated_ftdi_written(bus, board, nullptr, 0));
    emulated_ftdi_written(bus, board, bytes.data(), bytes.size());
    return bytes;
}

std::uint8_t patternByte(const QString& row)
{
    std::uint8_t byte = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (row.at(relay - 1) != QLatin1Char('0'))
            byte |= static_cast<std::uint8_t>(1u << (relay - 1));
    return byte;
}

QString patternOf(std::uint8_t byte)
{
    QString pattern(8, QLatin1Char('0'));
    for (int relay = 1; relay <= 8; ++relay)
        if ((byte >> (relay - 1)) & 1)
            pattern[relay - 1] = QLatin1Char('1');
    return pattern;
}

QList<int> indicatorsFor(std::uint8_t byte)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << ((byte >> (relay - 1)) & 1 ? Lime : Red);
    return out;
}

QList<int> barsFor(std::uint8_t byte)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << ((byte >> (relay - 1)) & 1 ? TForm1::BarRaised : TForm1::BarLowered);
    return out;
}

QList<int> indicators(const TForm1& form)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << form.indicator(relay)->color();
    return out;
}

QList<int> bars(const TForm1& form)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << form.stepBar(relay)->y();
    return out;
}

QString row(const TForm1& form, int i)
{
    return QString::fromLatin1(form.programModel->text(i));
}

QStringList allRows(const TForm1& form)
{
    QStringList out;
    for (int i = 0; i < form.programModel->count(); ++i)
        out << row(form, i);
    return out;
}

void loadProgram(TForm1& form, const QStringList& rows)
{
    std::vector<QByteArray> program;
    for (const QString& r : rows)
        program.push_back(r.toLatin1());
    form.programModel->replaceAll(std::move(program));
}

// The operator picks entry `index` of the board list.
void pickBoard(TForm1& form, int index)
{
    form.ComboBox1->setCurrentIndex(index);
    emit form.ComboBox1->activated(index);
}

// The runner's expected row and count ("Repeat" decides what follows the
// last row).
struct RunModel {
    QStringList rows;
    bool repeat = false;
    int row = 0;
    int count = 0;
    bool running = true;

    void pick(int r)
    {
        row = r;
        count = rows.at(r).mid(9).toInt();
    }
    void tick()
    {
        if (count >= 2) {
            --count;
            return;
        }
        if (row + 1 < rows.size())
            pick(row + 1);
        else if (repeat)
            pick(0);
        else
            running = false;
    }
    std::uint8_t byte() const { return patternByte(rows.at(row)); }
};

}  // namespace

class WindowEmulatedTest : public QObject {
    Q_OBJECT

public:
    struct BusDeleter {
        void operator()(EmulatedFtdiBus* bus) const { emulated_ftdi_bus_free(bus); }
    };

private:
    std::unique_ptr<EmulatedFtdiBus, BusDeleter> bus_;
    std::unique_ptr<fixture::WorkDir> work_;
    int boardA_ = -1;
    int boardB_ = -1;
    int indexA_ = -1;  // libusb's list index of board A: its entry in the window
    int indexB_ = -1;

    EmulatedFtdiBus* bus() const { return bus_.get(); }
    // The emulated board behind list entry / table slot `index`.
    int boardAt(int index) const { return index == indexA_ ? boardA_ : boardB_; }

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
        boardA_ = emulated_ftdi_add_board(bus(), SerialA);
        boardB_ = emulated_ftdi_add_board(bus(), SerialB);
        QVERIFY(boardA_ >= 0 && boardB_ >= 0);
        // Found before the window opens the boards.
        indexA_ = emulated_ftdi_index_of_serial(SerialA);
        indexB_ = emulated_ftdi_index_of_serial(SerialB);
        QCOMPARE(QSet<int>({indexA_, indexB_}), QSet<int>({0, 1}));
        work_ = std::make_unique<fixture::WorkDir>();
    }

    void cleanup()
    {
        work_.reset();
        bus_.reset();
    }

    void startupOpensBothBoards()
    {
        FtdiLibrary library;
        TForm1 form(library);

        QCOMPARE(form.ComboBox1->count(), 2);
        QCOMPARE(form.ComboBox1->itemText(0), QStringLiteral("Relay Board 1 "));
        QCOMPARE(form.ComboBox1->itemText(1), QStringLiteral("Relay Board 2 "));
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QCOMPARE(form.boards.count, 2u);
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board not found !"));
        QCOMPARE(form.Panel27->color(), Red);
        QCOMPARE(library.openCount(), std::size_t(2));
        for (const int board : {boardA_, boardB_}) {
            QVERIFY(emulated_ftdi_claimed(bus(), board));
            QCOMPARE(emulated_ftdi_claim_count(bus(), board), 1u);
            QCOMPARE(emulated_ftdi_bit_mask(bus(), board), std::uint8_t(0xFF));
            QCOMPARE(emulated_ftdi_bit_mode(bus(), board), std::uint8_t(0x01));
            // Start-up writes nothing to a board.
            QCOMPARE(emulated_ftdi_written(bus(), board, nullptr, 0), std::size_t(0));
        }
        QCOMPARE(allRows(form), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(form.errorsReported(), 0);
    }

    void pickSwitchAndRun()
    {
        FtdiLibrary library;
        TForm1 form(library);
        const int a = boardA_;
        const int b = boardB_;

        // Picking board A: the views show its pins.
        pickBoard(form, indexA_);
        QCOMPARE(form.boards.selected, indexA_);
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(form.Panel27->color(), Lime);
        const std::uint8_t fresh = emulated_ftdi_pins(bus(), a);
        QCOMPARE(indicators(form), indicatorsFor(fresh));
        QCOMPARE(bars(form), barsFor(fresh));
        QCOMPARE(row(form, 0), patternOf(fresh) + QStringLiteral("-0"));

        click(form.Button9);  // ALL ON
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0xFF));
        QCOMPARE(row(form, 0), QStringLiteral("11111111-0"));

        // Board B, untouched so far, and back to A: the indicators follow
        // whichever board is picked.
        pickBoard(form, indexB_);
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(indicators(form), indicatorsFor(emulated_ftdi_pins(bus(), b)));
        QCOMPARE(indicators(form), indicatorsFor(fresh));
        pickBoard(form, indexA_);
        QCOMPARE(indicators(form), indicatorsFor(0xFF));
        QCOMPARE(form.manualButton(3)->text(), QStringLiteral("Relay 3 OFF"));

        // Manual buttons.
        click(form.manualButton(3));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0xFB));
        click(form.manualButton(8));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x7B));
        QCOMPARE(row(form, 0), QStringLiteral("11011110-0"));
        QCOMPARE(bars(form), barsFor(0x7B));
        QCOMPARE(indicators(form), indicatorsFor(0x7B));
        click(form.manualButton(3));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x7F));
        QCOMPARE(form.manualButton(3)->text(), QStringLiteral("Relay 3 OFF"));
        QCOMPARE(form.manualButton(8)->text(), QStringLiteral("Relay 8 ON"));

        click(form.Button10);  // ALL OFF
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x00));
        QCOMPARE(indicators(form), indicatorsFor(0x00));
        click(form.Button9);
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0xFF));
        click(form.Button10);
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x00));
        QCOMPARE(writtenTo(bus(), a),
                 (std::vector<std::uint8_t>{0xFF, 0xFB, 0x7B, 0x7F, 0x00, 0xFF, 0x00}));
        QCOMPARE(emulated_ftdi_bit_mode(bus(), a), std::uint8_t(0x01));

        // A program of three rows, played tick by tick.
        const QStringList program = {QStringLiteral("10000001-3"), QStringLiteral("01100000-0"),
                                     QStringLiteral("00011110-2")};
        loadProgram(form, program);
        form.StringGrid4->setCurrentRow(2);
        QVERIFY(!form.CheckBox1->isChecked());
        emulated_ftdi_clear_written(bus(), a);

        RunModel run{program};
        click(form.Button34);
        run.pick(0);
        QCOMPARE(form.Button34->text(), QStringLiteral("Stop"));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x81));
        int ticks = 0;
        while (run.running) {
            QVERIFY(++ticks < 20);
            form.Timer1Timer();
            run.tick();
            QCOMPARE(form.runActive(), run.running);
            QCOMPARE(form.StringGrid4->currentRow(), run.row);
            QCOMPARE(emulated_ftdi_pins(bus(), a), run.byte());
            QCOMPARE(indicators(form), indicatorsFor(run.byte()));
            QCOMPARE(bars(form), barsFor(run.byte()));
        }
        QCOMPARE(ticks, 6);
        QCOMPARE(form.Button34->text(), QStringLiteral("Start"));
        QCOMPARE(allRows(form), program);
        QCOMPARE(writtenTo(bus(), a), (std::vector<std::uint8_t>{0x81, 0x06, 0x78}));

        // The same program once more, on the real 1 ms timer.
        emulated_ftdi_clear_written(bus(), a);
        click(form.Button34);
        QVERIFY(form.Timer1->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return !form.runActive(); }, 5000));
        QCOMPARE(form.StringGrid4->currentRow(), 2);
        QCOMPARE(allRows(form), program);
        QCOMPARE(writtenTo(bus(), a), (std::vector<std::uint8_t>{0x81, 0x06, 0x78}));
        QCOMPARE(emulated_ftdi_pins(bus(), a), std::uint8_t(0x78));

        // Board B never received a byte.
        QCOMPARE(emulated_ftdi_written(bus(), b, nullptr, 0), std::size_t(0));
        QCOMPARE(emulated_ftdi_pins(bus(), b), fresh);
        QCOMPARE(form.errorsReported(), 0);
    }

    void closingReleasesBoards()
    {
        auto library = std::make_unique<FtdiLibrary>();
        auto form = std::make_unique<TForm1>(*library);
        const int first = boardAt(0);
        const int second = boardAt(1);

        pickBoard(*form, 1);
        click(form->Button9);
        QCOMPARE(emulated_ftdi_pins(bus(), second), std::uint8_t(0xFF));

        // Closing the window lets go of the first board only, and hands it
        // back to its kernel driver.
        form->close();
        QVERIFY(!emulated_ftdi_claimed(bus(), first));
        QCOMPARE(emulated_ftdi_release_count(bus(), first), 1u);
        QCOMPARE(emulated_ftdi_reattach_count(bus(), first), 1u);
        QVERIFY(emulated_ftdi_claimed(bus(), second));
        QCOMPARE(emulated_ftdi_reattach_count(bus(), second), 0u);
        QCOMPARE(library->openCount(), std::size_t(1));
        QFile labels(QStringLiteral("labels.dat"));
        QVERIFY(labels.open(QIODevice::ReadOnly));
        QCOMPARE(labels.size(), 320);

        // The library lets go of every board it still holds.
        form.reset();
        library.reset();
        QVERIFY(!emulated_ftdi_claimed(bus(), second));
        QCOMPARE(emulated_ftdi_release_count(bus(), second), 1u);
        QCOMPARE(emulated_ftdi_reattach_count(bus(), second), 1u);
        QCOMPARE(emulated_ftdi_reattach_count(bus(), first), 1u);
        // The relays keep their state after the program is gone.
        QCOMPARE(emulated_ftdi_pins(bus(), second), std::uint8_t(0xFF));
    }

    void boardPulledOutWhileRunning()
    {
        FtdiLibrary library;
        TForm1 form(library);
        const int first = boardAt(0);
        const int second = boardAt(1);

        // The run plays on the second board.
        pickBoard(form, 1);
        const QStringList program = {QStringLiteral("10000001-2"), QStringLiteral("01100000-1"),
                                     QStringLiteral("00011110-3")};
        loadProgram(form, program);
        form.StringGrid4->setCurrentRow(1);
        form.CheckBox1->setChecked(true);
        RunModel run{program, true};
        click(form.Button34);
        run.pick(0);
        for (int t = 0; t < 4; ++t) {
            form.Timer1Timer();
            run.tick();
        }
        QCOMPARE(emulated_ftdi_pins(bus(), second), run.byte());
        const auto writtenBefore = writtenTo(bus(), second);

        emulated_ftdi_pull_out(bus(), second);

        // The run goes on on the screen; nothing reaches any board.
        for (int t = 0; t < 10; ++t) {
            form.Timer1Timer();
            run.tick();
            QCOMPARE(form.StringGrid4->currentRow(), run.row);
            QCOMPARE(indicators(form), indicatorsFor(run.byte()));
            QCOMPARE(bars(form), barsFor(run.byte()));
        }
        QCOMPARE(form.Button34->text(), QStringLiteral("Stop"));
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board found !"));
        // A click: the views keep what was commanded, as nothing reads back.
        const auto toggled = static_cast<std::uint8_t>(run.byte() ^ 0x10);
        click(form.manualButton(5));
        QCOMPARE(form.RelayState, toggled);
        QCOMPARE(indicators(form), indicatorsFor(toggled));
        QCOMPARE(bars(form), barsFor(toggled));
        QCOMPARE(row(form, run.row).left(8), patternOf(toggled));
        click(form.manualButton(5));
        QCOMPARE(row(form, run.row).left(8), program.at(run.row).left(8));
        click(form.Button9);
        QCOMPARE(form.RelayState, 0xFF);
        click(form.Button10);
        QCOMPARE(writtenTo(bus(), second), writtenBefore);
        QCOMPARE(emulated_ftdi_written(bus(), first, nullptr, 0), std::size_t(0));

        // Dropping the list down finds the one board left.
        form.ComboBox1->showPopup();
        form.ComboBox1->hidePopup();
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->itemText(0), QStringLiteral("Relay Board 1"));
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QCOMPARE(form.boards.count, 1u);
        QCOMPARE(form.boards.selected, 1);
        QVERIFY(emulated_ftdi_claimed(bus(), first));
        QCOMPARE(emulated_ftdi_claim_count(bus(), first), 2u);
        QCOMPARE(emulated_ftdi_bit_mode(bus(), first), std::uint8_t(0x01));
        // The selection still names the pulled board: no effect anywhere.
        click(form.manualButton(1));
        QCOMPARE(emulated_ftdi_written(bus(), first, nullptr, 0), std::size_t(0));

        // Picking the board that is left: the run goes on there.
        pickBoard(form, 0);
        QCOMPARE(form.boards.selected, 0);
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(indicators(form), indicatorsFor(emulated_ftdi_pins(bus(), first)));
        // The selection wrote the first board's pattern into the current row.
        run.rows[run.row] = patternOf(emulated_ftdi_pins(bus(), first)) + program.at(run.row).mid(8);
        for (int t = 0; t < 8; ++t) {
            form.Timer1Timer();
            run.tick();
            QCOMPARE(form.StringGrid4->currentRow(), run.row);
            QCOMPARE(emulated_ftdi_pins(bus(), first), run.byte());
        }
        QVERIFY(emulated_ftdi_written(bus(), first, nullptr, 0) > 0);
        QCOMPARE(writtenTo(bus(), second), writtenBefore);

        click(form.Button34);
        QCOMPARE(form.Button34->text(), QStringLiteral("Start"));
        QCOMPARE(form.errorsReported(), 0);
    }

};

QTEST_MAIN(WindowEmulatedTest)
#include "test_window_emulated.moc"
