// The program runner: Start/Stop, Pause/Resume, the count-down of each step
// tick by tick, a timer value typed during a run, and what happens when the operator makes
// another row current while a program plays.
#include "window_fixture.h"

using namespace fixture;

namespace {
// One line for the runner's visible state: timer value, rows (the current
// one marked with '>'), Start/Stop caption, Pause/Resume caption, timer.
QString state(const Rig& rig)
{
    const TForm1& f = *rig.form;
    QStringList rows;
    for (int i = 0; i < rig.rows(); ++i)
        rows << (i == rig.current() ? QStringLiteral(">") : QString()) + rig.row(i);
    return QStringLiteral("%1 | %2 | %3 %4 %5")
        .arg(f.Edit9->text(), rows.join(QLatin1Char(' ')), f.Button34->text(), f.Button35->text(),
             f.Timer1->isEnabled() ? QStringLiteral("on") : QStringLiteral("off"));
}

#define COMPARE_STATE(rig, expected) QCOMPARE(state(rig), QStringLiteral(expected))
}  // namespace

class RunnerTest : public WindowTest {
    Q_OBJECT
private slots:
    // Start plays row 0 (here from row 2), each tick counts down, a step
    // lasts its duration but at least one tick, and a row gets back its own
    // duration when the run leaves it. "Repeat" is read at the end of the
    // last step; another notebook page does not stop the run.
    void ticks_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<bool>("repeat");
        QTest::addColumn<QStringList>("ticks");
        QTest::addColumn<Bytes>("written");
        const QStringList example{"10000000-3", "01000000-0", "00000000-2"};
        QTest::newRow("once") << example << false
            << QStringList{"2 | >10000000-2 01000000-0 00000000-2 | Stop Pause on",
                           "1 | >10000000-1 01000000-0 00000000-2 | Stop Pause on",
                           "0 | 10000000-3 >01000000-0 00000000-2 | Stop Pause on",
                           "2 | 10000000-3 01000000-0 >00000000-2 | Stop Pause on",
                           "1 | 10000000-3 01000000-0 >00000000-1 | Stop Pause on",
                           "2 | 10000000-3 01000000-0 >00000000-2 | Start Pause off"}
            << Bytes{0x00, 0x01, 0x02, 0x00};
        QTest::newRow("repeat") << example << true
            << QStringList{"2 | >10000000-2 01000000-0 00000000-2 | Stop Pause on",
                           "1 | >10000000-1 01000000-0 00000000-2 | Stop Pause on",
                           "0 | 10000000-3 >01000000-0 00000000-2 | Stop Pause on",
                           "2 | 10000000-3 01000000-0 >00000000-2 | Stop Pause on",
                           "1 | 10000000-3 01000000-0 >00000000-1 | Stop Pause on",
                           "3 | >10000000-3 01000000-0 00000000-2 | Stop Pause on",
                           "2 | >10000000-2 01000000-0 00000000-2 | Stop Pause on"}
            << Bytes{0x00, 0x01, 0x02, 0x00, 0x01};
        QTest::newRow("durations 0 and 1") << QStringList{"00000000-0", "10000000-0", "01000000-1", "00100000-2"}
            << false
            << QStringList{"0 | 00000000-0 >10000000-0 01000000-1 00100000-2 | Stop Pause on",
                           "1 | 00000000-0 10000000-0 >01000000-1 00100000-2 | Stop Pause on",
                           "2 | 00000000-0 10000000-0 01000000-1 >00100000-2 | Stop Pause on",
                           "1 | 00000000-0 10000000-0 01000000-1 >00100000-1 | Stop Pause on",
                           "2 | 00000000-0 10000000-0 01000000-1 >00100000-2 | Start Pause off"}
            << Bytes{0x04, 0x00, 0x01, 0x02, 0x04};
        QTest::newRow("one row repeated") << QStringList{"10000000-2"} << true
            << QStringList{"1 | >10000000-1 | Stop Pause on", "2 | >10000000-2 | Stop Pause on",
                           "1 | >10000000-1 | Stop Pause on", "2 | >10000000-2 | Stop Pause on"}
            << Bytes{0x01};
    }
    void ticks()
    {
        QFETCH(QStringList, rows);
        QFETCH(bool, repeat);
        QFETCH(QStringList, ticks);
        QFETCH(Bytes, written);
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program(rows);
        f.CheckBox1->setChecked(repeat);
        f.TrackBar1->setValue(10);
        rig.clickRow(rows.size() - 1);  // row 0 current already is not played again
        click(f.Button34);
        QCOMPARE(f.Timer1->interval(), 10);
        QCOMPARE(rig.current(), 0);
        for (int t = 0; t < ticks.size(); ++t) {
            if (t == 2)
                f.TabbedNotebook1->setCurrentIndex(1);
            rig.tick();
            QVERIFY2(state(rig) == ticks[t], qPrintable(QStringLiteral("tick %1: %2").arg(t + 1).arg(state(rig))));
        }
        QCOMPARE(rig.writes(), written);
        if (repeat && rows.size() > 1) {
            f.CheckBox1->setChecked(false);
            rig.tick(5);
            COMPARE_STATE(rig, "2 | 10000000-3 01000000-0 >00000000-2 | Start Pause off");
        }
        QCOMPARE(f.errorsReported(), 0);
    }

    void pauseResumeStop()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        click(f.Button35);  // while stopped: nothing
        COMPARE_STATE(rig, "0 | >00000000-0 | Start Pause off");
        rig.program({"10000000-10", "01000000-4"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(3);
        click(f.Button35);
        COMPARE_STATE(rig, "7 | >10000000-7 01000000-4 | Stop Resume off");
        click(f.Button35);
        rig.tick();
        COMPARE_STATE(rig, "6 | >10000000-6 01000000-4 | Stop Pause on");
        // Stop, while paused too: the row gets back its duration, nothing is switched.
        click(f.Button35);
        const Bytes written = rig.writes();
        click(f.Button34);
        COMPARE_STATE(rig, "10 | >10000000-10 01000000-4 | Start Pause off");
        click(f.Button34);
        rig.tick(5);
        click(f.Button34);
        COMPARE_STATE(rig, "10 | >10000000-10 01000000-4 | Start Pause off");
        QCOMPARE(rig.writes(), written);
        f.TrackBar1->setValue(0);  // below the range
        QCOMPARE(f.Timer1->interval(), 1);
    }

    // A timer value typed during a run is counted down from.
    void typingADurationDuringARun()
    {
        Rig rig(1);
        rig.program({"10000000-5", "01000000-2"});
        rig.clickRow(1);
        click(rig.form->Button34);
        rig.tick();
        rig.typeDuration(QStringLiteral("50"));
        COMPARE_STATE(rig, "50 | >10000000-50 01000000-2 | Stop Pause on");
        rig.tick(50);
        COMPARE_STATE(rig, "2 | 10000000-5 >01000000-2 | Stop Pause on");
        // The duration runs from 0 to 9999; the arrows stop there.
        click(rig.form->Button34);
        rig.typeDuration(QStringLiteral("9999"));
        rig.form->UpDown1->stepUp();
        QCOMPARE(rig.row(1), QStringLiteral("01000000-9999"));
        rig.typeDuration(QStringLiteral("0"));
        rig.form->UpDown1->stepDown();
        QCOMPARE(rig.row(1), QStringLiteral("01000000-0"));
    }

    // The operator makes another row current during a run: the row left gets
    // back its own duration, and the step now current counts from its own.
    void rowMovedDuringARun_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("more");
        QTest::addColumn<QString>("end");
        QTest::addColumn<Bytes>("written");
        QTest::newRow("click another row") << "row 1" << 2 << "3 | 10000000-5 >01000000-3 00100000-7 | Stop Pause on"
            << 3 << "7 | 10000000-5 01000000-3 >00100000-7 | Stop Pause on" << Bytes{0x02, 0x01, 0x02, 0x04};
        QTest::newRow("click the current row") << "row 0" << 2 << "5 | >10000000-5 01000000-3 00100000-7 | Stop Pause on"
            << 5 << "3 | 10000000-5 >01000000-3 00100000-7 | Stop Pause on" << Bytes{0x02, 0x01, 0x01, 0x02};
        QTest::newRow("Add") << "add" << 2 << "5 | 10000000-5 01000000-3 00100000-7 >10000000-5 | Stop Pause on"
            << 5 << "5 | 10000000-5 01000000-3 00100000-7 >10000000-5 | Start Pause off" << Bytes{0x02, 0x01, 0x01};
        QTest::newRow("Clear all") << "clear all" << 2 << "0 | >00000000-0 | Stop Pause on"
            << 1 << "0 | >00000000-0 | Start Pause off" << Bytes{0x02, 0x01, 0x00, 0x00};
        QTest::newRow("Clear the current row") << "clear" << 10 << "3 | 10000000-5 >01000000-3 | Stop Pause on"
            << 3 << "3 | 10000000-5 >01000000-3 | Start Pause off" << Bytes{0x02, 0x01, 0x02, 0x04};
        QTest::newRow("Clear another row") << "clear" << 2 << "3 | >10000000-3 01000000-3 | Stop Pause on"
            << 3 << "3 | 10000000-5 >01000000-3 | Stop Pause on" << Bytes{0x02, 0x01, 0x02};
        QTest::newRow("Open") << "open" << 2 << "4 | >00000011-4 11000000-2 | Stop Pause on"
            << 4 << "2 | 00000011-4 >11000000-2 | Stop Pause on" << Bytes{0x02, 0x01, 0x03};
    }
    void rowMovedDuringARun()
    {
        QFETCH(QString, action);
        QFETCH(int, before);
        QFETCH(QString, after);
        QFETCH(int, more);
        QFETCH(QString, end);
        QFETCH(Bytes, written);
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"10000000-5", "01000000-3", "00100000-7"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(before);
        if (action.startsWith(QLatin1String("row")))
            rig.clickRow(action.back().digitValue());
        else if (action == QLatin1String("add"))
            click(f.Button23);
        else if (action == QLatin1String("clear all"))
            click(f.Button22);
        else if (action == QLatin1String("clear"))
            click(f.Button21);
        else {
            writeFile(work().file("next.txt"), "00000011-4\r\n11000000-2\r\n");
            click(f.Button35);  // paused: no tick while the dialog is open
            clickThrough(f.Button19, {chooseFile(work().file("next.txt"))});
            click(f.Button35);
        }
        QCOMPARE(state(rig), after);
        rig.tick(more);
        QCOMPARE(state(rig), end);
        QCOMPARE(rig.writes(), written);
    }
};

QTEST_MAIN(RunnerTest)
#include "tst_runner.moc"
