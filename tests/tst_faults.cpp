// Boards that misbehave (pulled out, held by another program, stuck pins)
// and a long run at 1 ms resolution with the operator at work.
#include "window_fixture.h"

#include <QElapsedTimer>
#include <QFile>

using namespace fixture;

namespace {

constexpr int Red = 255;
constexpr int Lime = 65280;

// Labels of our own, so that a changed caption or label file shows.
LabelTable valveLabels()
{
    LabelTable table;
    for (int relay = 1; relay <= 8; ++relay) {
        table.setSlot(relay - 1, QByteArray("Valve ") + QByteArray::number(relay) + " open");
        table.setSlot(relay + 7, QByteArray("Valve ") + QByteArray::number(relay) + " shut");
    }
    return table;
}

void writeLabelFile(const QByteArray& image)
{
    QFile file(QString::fromLatin1(LabelFile::FileName));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(image), image.size());
}

QByteArray readLabelFile()
{
    QFile file(QString::fromLatin1(LabelFile::FileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The relay byte of a row's pattern: "0" is off, anything else on.
std::uint8_t patternByte(const QByteArray& row)
{
    std::uint8_t byte = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (row.at(relay - 1) != '0')
            byte |= static_cast<std::uint8_t>(1u << (relay - 1));
    return byte;
}

QByteArray patternOf(std::uint8_t byte)
{
    QByteArray pattern(8, '0');
    for (int relay = 1; relay <= 8; ++relay)
        if ((byte >> (relay - 1)) & 1)
            pattern[relay - 1] = '1';
    return pattern;
}

QList<int> barsFor(std::uint8_t byte)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << ((byte >> (relay - 1)) & 1 ? TForm1::BarRaised : TForm1::BarLowered);
    return out;
}

QList<int> indicatorsFor(std::uint8_t byte)
{
    QList<int> out;
    for (int relay = 1; relay <= 8; ++relay)
        out << ((byte >> (relay - 1)) & 1 ? Lime : Red);
    return out;
}

QStringList captionsFor(const LabelTable& labels, std::uint8_t byte)
{
    QStringList out;
    for (int relay = 1; relay <= 8; ++relay)
        out << labelText((byte >> (relay - 1)) & 1 ? labels.turnOff(relay) : labels.turnOn(relay));
    return out;
}

std::vector<QByteArray> toRows(const QStringList& rows)
{
    std::vector<QByteArray> out;
    for (const QString& row : rows)
        out.push_back(row.toLatin1());
    return out;
}

int durationOf(const QString& row)
{
    return row.mid(9).toInt();
}

// What the runner should be doing: the row it plays and the count that
// Edit9 shows, step by step.
struct RunModel {
    QStringList rows;
    int row = 0;
    int count = 0;

    void pick(int r)
    {
        row = r;
        count = durationOf(rows.at(r));
    }
    // One tick with "Repeat" checked.
    void tick()
    {
        if (count >= 2) {
            --count;
            return;
        }
        pick((row + 1) % int(rows.size()));
    }
    QString currentText() const { return rows.at(row).left(9) + QString::number(count); }
    std::uint8_t byte() const { return patternByte(rows.at(row).toLatin1()); }
};

}  // namespace

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    // The selected board is pulled out in the middle of a run: the run goes
    // on on the screen, writes to the board go nowhere, and once the board
    // is back, found again and picked, it follows the program again.
    void boardPulledOutDuringRun()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        const QStringList program = {QStringLiteral("10000001-2"), QStringLiteral("01100000-1"),
                                     QStringLiteral("00011110-3")};
        rig.pickBoard(0);
        f.programModel->replaceAll(toRows(program));
        f.StringGrid4->setCurrentRow(1);
        f.CheckBox1->setChecked(true);
        RunModel run{program};

        click(f.Button34);
        run.pick(0);
        QCOMPARE(f.Button34->text(), QStringLiteral("Stop"));
        QCOMPARE(rig.lastWrite(0), 0x81);
        for (int t = 0; t < 4; ++t) {
            rig.tick();
            run.tick();
        }
        QCOMPARE(rig.current(), run.row);
        QCOMPARE(rig.lastWrite(0), int(run.byte()));

        rig.library.setAttached(0, false);
        const auto writtenBefore = rig.writes(0).size();
        for (int t = 0; t < 13; ++t) {
            rig.tick();
            run.tick();
            // The rows are still played on the screen.
            QCOMPARE(rig.current(), run.row);
            QCOMPARE(rig.row(run.row), run.currentText());
            QCOMPARE(f.Edit9->text(), QString::number(run.count));
            QCOMPARE(rig.bars(), barsFor(run.byte()));
            QCOMPARE(rig.indicators(), indicatorsFor(run.byte()));
            QCOMPARE(rig.captions(), captionsFor(f.labels, run.byte()));
        }
        QCOMPARE(rig.writes(0).size(), writtenBefore);
        QVERIFY(rig.writes(1).empty());
        QCOMPARE(f.Button34->text(), QStringLiteral("Stop"));
        // Nothing tells the operator: the strip still reports the board.
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(f.Panel27->color(), Lime);

        // A manual click on the pulled board: the views keep what was
        // commanded, as nothing can be read back.
        const std::uint8_t shown = run.byte();
        const auto toggled = static_cast<std::uint8_t>(shown ^ 0x01);
        click(f.manualButton(1));
        QCOMPARE(f.RelayState, toggled);
        QCOMPARE(rig.row(run.row), QString::fromLatin1(patternOf(toggled)) + QLatin1Char('-') +
                                       QString::number(run.count));
        QCOMPARE(rig.indicators(), indicatorsFor(toggled));
        QCOMPARE(rig.bars(), barsFor(toggled));
        click(f.manualButton(1));  // and back
        QCOMPARE(rig.row(run.row), run.currentText());
        QCOMPARE(rig.writes(0).size(), writtenBefore);
        QVERIFY(rig.writes(1).empty());

        // Plugged back in: the old handle stays dead until the boards are
        // found again.
        rig.library.setAttached(0, true);
        for (int t = 0; t < 6; ++t) {
            rig.tick();
            run.tick();
        }
        QCOMPARE(rig.writes(0).size(), writtenBefore);

        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QCOMPARE(f.ComboBox1->count(), 2);
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QCOMPARE(f.boards.selected, 0);
        QVERIFY(rig.library.isOpen(0));
        QCOMPARE(rig.library.bitMode(0), 0x01);
        QCOMPARE(rig.library.openCount(0), 2);

        // Picking it again brings the views in step with the board, whose
        // relays dropped out while it was unplugged; the current row takes
        // that pattern, as a board selection always does.
        rig.pickBoard(0);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(rig.indicators(), indicatorsFor(0x00));
        QCOMPARE(rig.row(run.row), QStringLiteral("00000000-") + QString::number(run.count));
        run.rows[run.row] = QStringLiteral("00000000") + run.rows.at(run.row).mid(8);

        // The next steps reach the board again.
        std::vector<std::uint8_t> expected;
        for (int t = 0; t < 12; ++t) {
            const int rowBefore = run.row;
            rig.tick();
            run.tick();
            if (run.row != rowBefore)
                expected.push_back(run.byte());
            QCOMPARE(rig.current(), run.row);
        }
        QVERIFY(!expected.empty());
        const auto written = rig.writes(0);
        QCOMPARE(std::vector<std::uint8_t>(written.begin() + long(writtenBefore), written.end()),
                 expected);
        QCOMPARE(rig.library.pins(0), run.byte());
        QVERIFY(rig.writes(1).empty());
        QCOMPARE(f.errorsReported(), 0);
    }

    // A board that is not selected is pulled out: the run on the other one
    // goes on undisturbed, and the list found next holds one board.
    void otherBoardPulledOut()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.pickBoard(0);
        click(f.Button9);
        QCOMPARE(rig.library.pins(0), 0xFF);
        rig.library.setAttached(1, false);
        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QCOMPARE(f.ComboBox1->count(), 1);
        QCOMPARE(f.ComboBox1->itemText(0), QStringLiteral("Relay Board 1"));
        QCOMPARE(f.boards.count, 1u);
        QCOMPARE(f.boards.selected, 0);
        click(f.manualButton(4));
        QCOMPARE(rig.library.pins(0), 0xF7);
        QCOMPARE(rig.row(0), QStringLiteral("11101111-0"));
        QVERIFY(rig.writes(1).empty());
    }

    // The first board is pulled out. The board that is left becomes device
    // 0, but the window still holds it in slot 1, so the next discovery
    // cannot open it into slot 0: its one entry reports the board as not
    // found or already opened, and relay operations reach no board.
    void firstBoardPulledOut()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.pickBoard(0);
        click(f.Button9);
        rig.library.setAttached(0, false);
        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QCOMPARE(f.ComboBox1->count(), 1);
        QCOMPARE(f.ComboBox1->itemText(0), QStringLiteral("Relay Board 1"));
        QCOMPARE(f.boards.handles[0], 0u);
        QVERIFY(f.boards.handles[1] != 0u);
        QCOMPARE(rig.library.openCount(1), 1);
        QCOMPARE(f.boards.selected, 0);

        rig.pickBoard(0);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found or already opened!"));
        QCOMPARE(f.Panel27->color(), Red);
        click(f.Button10);
        click(f.stepBar(2));
        QCOMPARE(rig.writes(0), std::vector<std::uint8_t>{0xFF});
        QVERIFY(rig.writes(1).empty());
        QCOMPARE(f.errorsReported(), 0);
    }

    // A board that another program holds cannot be opened: picking it says
    // so, and every relay operation then reaches no board at all.
    void boardHeldElsewhere()
    {
        Rig rig(2, [](SimulatedLibrary& lib) { lib.setHeldElsewhere(1, true); });
        TForm1& f = *rig.form;
        QCOMPARE(f.ComboBox1->count(), 2);
        QVERIFY(rig.library.isOpen(0));
        QVERIFY(!rig.library.isOpen(1));
        QCOMPARE(f.boards.handles[1], 0u);

        rig.pickBoard(1);
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(f.Panel27->color(), Red);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found or already opened!"));

        // Manual buttons, ALL ON, a step bar, Add and a short run.
        click(f.Button9);
        QCOMPARE(f.RelayState, 0xFF);  // what was commanded: nothing reads back
        QCOMPARE(rig.row(0), QStringLiteral("11111111-0"));
        QCOMPARE(rig.bars(), barsFor(0xFF));
        QCOMPARE(rig.indicators(), indicatorsFor(0xFF));
        click(f.manualButton(2));
        QCOMPARE(rig.row(0), QStringLiteral("10111111-0"));
        click(f.stepBar(8));
        QCOMPARE(rig.row(0), QStringLiteral("10111110-0"));
        QCOMPARE(rig.indicators(), indicatorsFor(0x7D));
        click(f.Button23);
        f.Edit9->setText(QStringLiteral("2"));
        QCOMPARE(rig.allRows(), (QStringList{QStringLiteral("10111110-0"), QStringLiteral("10111110-2")}));
        click(f.Button34);
        for (int t = 0; t < 10 && f.runActive(); ++t)
            rig.tick();
        QCOMPARE(f.Button34->text(), QStringLiteral("Start"));
        QCOMPARE(rig.current(), 1);
        QVERIFY(rig.writes(0).empty());
        QVERIFY(rig.writes(1).empty());
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found or already opened!"));

        // Once the other program lets go, the next discovery opens it.
        rig.library.setHeldElsewhere(1, false);
        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QVERIFY(rig.library.isOpen(1));
        QCOMPARE(f.boards.selected, 1);
        rig.pickBoard(1);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(f.Panel27->color(), Lime);
        click(f.Button9);
        QCOMPARE(rig.writes(1), std::vector<std::uint8_t>{0xFF});
        QVERIFY(rig.writes(0).empty());
    }

    // Pins that read back other levels than were written: every view that
    // is refreshed from the board shows what it reads back.
    void stuckPins()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        // Relay 3 is stuck on, relay 5 stuck off.
        rig.library.forcePins(0, 0x14, 0x04);
        rig.pickBoard(0);
        QCOMPARE(f.RelayState, 0x04);
        QCOMPARE(rig.indicators(), indicatorsFor(0x04));
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x04));
        QCOMPARE(rig.bars(), barsFor(0x04));
        QCOMPARE(rig.row(0), QStringLiteral("00100000-0"));

        // ALL ON: captions and indicators show the command, the row and the
        // bars what the board reads back.
        click(f.Button9);
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.RelayState, 0xEF);
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0xFF));
        QCOMPARE(rig.indicators(), indicatorsFor(0xFF));
        QCOMPARE(rig.bars(), barsFor(0xEF));
        QCOMPARE(rig.row(0), QStringLiteral("11110111-0"));

        // ALL OFF: the same the other way round.
        click(f.Button10);
        QCOMPARE(rig.lastWrite(), 0x00);
        QCOMPARE(f.RelayState, 0x04);
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x00));
        QCOMPARE(rig.indicators(), indicatorsFor(0x00));
        QCOMPARE(rig.bars(), barsFor(0x04));
        QCOMPARE(rig.row(0), QStringLiteral("00100000-0"));

        // Raising relay 5's bar: the bars and indicators show the command,
        // the row and the captions the read-back.
        click(f.stepBar(5));
        QCOMPARE(rig.lastWrite(), 0x14);
        QCOMPARE(f.RelayState, 0x04);
        QCOMPARE(rig.bars(), barsFor(0x14));
        QCOMPARE(rig.indicators(), indicatorsFor(0x14));
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x04));
        QCOMPARE(rig.row(0), QStringLiteral("00100000-0"));
        QCOMPARE(f.stepBar(5)->text(), labelText(f.labels.turnOn(5)));

        // A row load writes the row and shows it; it reads nothing back.
        f.programModel->replaceAll(toRows({QStringLiteral("10001000-4"), QStringLiteral("00000000-1")}));
        f.StringGrid4->setCurrentRow(1);
        rig.clickRow(0);
        QCOMPARE(rig.lastWrite(), 0x11);
        QCOMPARE(rig.library.pins(0), 0x05);
        QCOMPARE(f.RelayState, 0x11);
        QCOMPARE(rig.bars(), barsFor(0x11));
        QCOMPARE(rig.indicators(), indicatorsFor(0x11));
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x11));
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QCOMPARE(rig.row(0), QStringLiteral("10001000-4"));
    }

    // 100,000 ticks at 1 ms resolution with "Repeat" on, while the operator
    // switches relays and switches them back, clicks step bars and rows,
    // pauses and resumes and types a timer value. The run never stops, the
    // views always show the row last loaded, and when it is stopped the
    // program and the label file are as they were.
    void longRunWithOperator()
    {
        const LabelTable valves = valveLabels();
        writeLabelFile(valves.image());
        const QByteArray labelImage = readLabelFile();
        QCOMPARE(labelImage.size(), LabelTable::FileSize);

        QElapsedTimer clock;
        clock.start();
        Rig rig(1);
        TForm1& f = *rig.form;
        QCOMPARE(f.manualButton(1)->text(), QStringLiteral("Valve 1 shut"));
        rig.library.setLogging(false);
        int lastByte = -1;
        int byteCount = 0;
        rig.library.setWriteObserver([&](int, std::uint8_t byte) {
            lastByte = byte;
            ++byteCount;
        });

        const QStringList program = {QStringLiteral("10000001-7"), QStringLiteral("01000010-0"),
                                     QStringLiteral("00111100-13"), QStringLiteral("11000011-1"),
                                     QStringLiteral("00011000-40"), QStringLiteral("10101010-3")};
        rig.pickBoard(0);
        f.programModel->replaceAll(toRows(program));
        f.StringGrid4->setCurrentRow(3);
        f.CheckBox1->setChecked(true);
        QCOMPARE(f.TrackBar1->value(), 1);
        QCOMPARE(f.Timer1->interval(), 1);

        RunModel run{program};
        click(f.Button34);
        run.pick(0);

        // Everything that must hold between two operator actions.
        auto expectSteady = [&](int tick) {
            const QString where = QStringLiteral("after tick %1").arg(tick);
            QVERIFY2(rig.current() == run.row, qPrintable(where));
            QCOMPARE(f.Edit9->text(), QString::number(run.count));
            for (int i = 0; i < rig.rows(); ++i)
                QCOMPARE(rig.row(i), i == run.row ? run.currentText() : program.at(i));
            QCOMPARE(lastByte, int(run.byte()));
            QCOMPARE(rig.library.pins(0), run.byte());
            QCOMPARE(f.RelayState, run.byte());
            QCOMPARE(rig.bars(), barsFor(run.byte()));
            QCOMPARE(rig.indicators(), indicatorsFor(run.byte()));
            QCOMPARE(rig.captions(), captionsFor(valves, run.byte()));
            QCOMPARE(f.Button34->text(), QStringLiteral("Stop"));
            QCOMPARE(f.Button35->text(), QStringLiteral("Pause"));
            QVERIFY(f.Timer1->isEnabled());
            QCOMPARE(f.errorsReported(), 0);
        };
        expectSteady(0);
        if (QTest::currentTestFailed())
            return;

        constexpr int TotalTicks = 100'000;
        constexpr int OperatorEvery = 3'989;
        int delivered = 0;
        int action = 0;
        int clicks = 0;
        while (delivered < TotalTicks) {
            // The timer only ticks while it is enabled.
            QVERIFY(f.Timer1->isEnabled());
            f.Timer1Timer();
            run.tick();
            ++delivered;
            if (rig.current() != run.row || lastByte != run.byte() ||
                f.Edit9->text() != QString::number(run.count)) {
                QFAIL(qPrintable(QStringLiteral("tick %1: row %2 (expected %3), count %4 "
                                                "(expected %5), board 0x%6 (expected 0x%7)")
                                     .arg(delivered)
                                     .arg(rig.current())
                                     .arg(run.row)
                                     .arg(f.Edit9->text())
                                     .arg(run.count)
                                     .arg(lastByte, 0, 16)
                                     .arg(run.byte(), 0, 16)));
            }
            if (delivered % 997 == 0) {
                expectSteady(delivered);
                if (QTest::currentTestFailed())
                    return;
            }
            if (delivered % OperatorEvery != 0)
                continue;

            const int kind = action % 5;
            const int relay = action % 8 + 1;
            ++action;
            switch (kind) {
            case 0: {
                // A relay switched by hand, and switched back.
                const auto toggled = static_cast<std::uint8_t>(run.byte() ^ (1u << (relay - 1)));
                click(f.manualButton(relay));
                QCOMPARE(lastByte, int(toggled));
                QCOMPARE(rig.row(run.row), QString::fromLatin1(patternOf(toggled)) +
                                               QLatin1Char('-') + QString::number(run.count));
                QCOMPARE(rig.indicators(), indicatorsFor(toggled));
                QCOMPARE(rig.bars(), barsFor(toggled));
                click(f.manualButton(relay));
                clicks += 2;
                break;
            }
            case 1: {
                // A step bar clicked, and clicked back.
                const auto toggled = static_cast<std::uint8_t>(run.byte() ^ (1u << (relay - 1)));
                click(f.stepBar(relay));
                QCOMPARE(lastByte, int(toggled));
                QCOMPARE(rig.row(run.row), QString::fromLatin1(patternOf(toggled)) +
                                               QLatin1Char('-') + QString::number(run.count));
                QCOMPARE(rig.captions(), captionsFor(valves, toggled));
                click(f.stepBar(relay));
                QCOMPARE(f.stepBar(relay)->text(), f.manualButton(relay)->text());
                clicks += 2;
                break;
            }
            case 2: {
                // A row clicked: the run goes on from there.
                const int target = (run.row + 2) % int(program.size());
                rig.clickRow(target);
                run.pick(target);
                clicks += 1;
                break;
            }
            case 3: {
                // Paused for a while: no tick arrives, nothing moves.
                click(f.Button35);
                QCOMPARE(f.Button35->text(), QStringLiteral("Resume"));
                QVERIFY(!f.Timer1->isEnabled());
                const int before = byteCount;
                QTest::qWait(20);
                QCOMPARE(byteCount, before);
                QCOMPARE(f.Edit9->text(), QString::number(run.count));
                QCOMPARE(rig.current(), run.row);
                QCOMPARE(f.Button34->text(), QStringLiteral("Stop"));
                click(f.Button35);
                clicks += 2;
                break;
            }
            case 4: {
                // A new timer value typed in: the step counts on from it.
                f.Edit9->setFocus();
                QTest::keyClick(f.Edit9, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClicks(f.Edit9, QStringLiteral("25"));
                run.count = 25;
                break;
            }
            }
            expectSteady(delivered);
            if (QTest::currentTestFailed())
                return;
        }
        QCOMPARE(delivered, TotalTicks);
        QVERIFY(action >= 25);
        QVERIFY(clicks <= 60);
        expectSteady(delivered);
        if (QTest::currentTestFailed())
            return;

        // Stop: the current row gets back its own duration, and the program
        // is exactly what was put in.
        click(f.Button34);
        QCOMPARE(f.Button34->text(), QStringLiteral("Start"));
        QVERIFY(!f.Timer1->isEnabled());
        QCOMPARE(rig.allRows(), program);
        QCOMPARE(lastByte, int(run.byte()));
        QCOMPARE(f.errorsReported(), 0);
        for (int slot = 0; slot < LabelTable::SlotCount; ++slot)
            QCOMPARE(f.labels.slot(slot), valves.slot(slot));

        f.close();
        QCOMPARE(readLabelFile(), labelImage);
        qInfo("100000 ticks with %d operator actions (%d clicks) in %lld ms", action, clicks,
              static_cast<long long>(clock.elapsed()));
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
