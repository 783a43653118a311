// The program runner: Start/Stop, Pause/Resume, the count-down of each step
// tick by tick, the duration editor, and what happens when the operator makes
// another row current while a program plays.
#include "window_fixture.h"

#include <QToolButton>

using namespace fixture;

namespace {
using Bytes = std::vector<std::uint8_t>;

// Puts rows into the list the way an opened file does: row 0 current, nothing loaded.
void program(Rig& rig, std::vector<QByteArray> rows)
{
    rig.form->programModel->replaceAll(std::move(rows));
    rig.form->StringGrid4->setCurrentRow(0);
}

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

void typeDuration(Rig& rig, const QString& digits)
{
    rig.form->Edit9->selectAll();
    QTest::keyClicks(rig.form->Edit9, digits);
}

// Types a path into a file dialog's name field and accepts it. (selectFile
// leaves the field alone while it has the focus, as it has in a shown dialog.)
std::function<void(QWidget*)> choose(const QString& path)
{
    return [path](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        QVERIFY(dialog);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    };
}

QToolButton* arrow(Rig& rig, const char* name)
{
    auto* a = rig.form->UpDown1->findChild<QToolButton*>(QString::fromLatin1(name));
    if (!a)
        qFatal("no arrow %s", name);
    return a;
}
}  // namespace

class RunnerTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup()
    {
        QVERIFY(!QApplication::activeModalWidget());
        work_.reset();
    }

    void startsStopped()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        QCOMPARE(state(rig), QStringLiteral("0 | >00000000-0 | Start Pause off"));
        QCOMPARE(f.Timer1->interval(), 1);
        QCOMPARE(f.TrackBar1->value(), 1);
        QCOMPARE(f.Label5->text(), QStringLiteral("0"));
        QCOMPARE(f.UpDown1->position(), 0);
        QCOMPARE(f.SavedStepDuration, 0);
        QVERIFY(!f.CheckBox1->isChecked());
    }

    void playsOnce()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-3", "01000000-0", "00000000-2"});
        f.TrackBar1->setValue(10);
        rig.clickRow(2);
        QCOMPARE(rig.writes(), Bytes{0x00});

        click(f.Button34);
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 01000000-0 00000000-2 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x00, 0x01}));
        QCOMPARE(f.Timer1->interval(), 10);

        const QStringList ticks{
            "2 | >10000000-2 01000000-0 00000000-2 | Stop Pause on",
            "1 | >10000000-1 01000000-0 00000000-2 | Stop Pause on",
            "0 | 10000000-3 >01000000-0 00000000-2 | Stop Pause on",
            "2 | 10000000-3 01000000-0 >00000000-2 | Stop Pause on",
            "1 | 10000000-3 01000000-0 >00000000-1 | Stop Pause on",
            "2 | 10000000-3 01000000-0 >00000000-2 | Start Pause off",
        };
        const std::vector<Bytes> written{
            {0x00, 0x01}, {0x00, 0x01}, {0x00, 0x01, 0x02}, {0x00, 0x01, 0x02, 0x00},
            {0x00, 0x01, 0x02, 0x00}, {0x00, 0x01, 0x02, 0x00},
        };
        for (int t = 0; t < ticks.size(); ++t) {
            if (t == 2)
                f.TabbedNotebook1->setCurrentIndex(1);  // another page: the run goes on
            rig.tick();
            QVERIFY2(state(rig) == ticks[t], qPrintable(QStringLiteral("tick %1: %2").arg(t + 1).arg(state(rig))));
            QCOMPARE(rig.writes(), written[static_cast<std::size_t>(t)]);
        }
        QCOMPARE(rig.library.pins(0), 0x00);
        QCOMPARE(f.errorsReported(), 0);
    }

    void playsRepeatedly()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-3", "01000000-0", "00000000-2"});
        f.CheckBox1->setChecked(true);
        rig.clickRow(2);
        click(f.Button34);
        rig.tick(5);
        QCOMPARE(state(rig), QStringLiteral("1 | 10000000-3 01000000-0 >00000000-1 | Stop Pause on"));
        rig.tick();  // tick 6 plays row 0 again
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 01000000-0 00000000-2 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x00, 0x01, 0x02, 0x00, 0x01}));
        rig.tick(6);  // a second pass
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 01000000-0 00000000-2 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x00, 0x01, 0x02, 0x00, 0x01, 0x02, 0x00, 0x01}));

        // "Repeat" is read at the end of the last step only.
        rig.tick(2);
        f.CheckBox1->setChecked(false);
        QCOMPARE(state(rig), QStringLiteral("1 | >10000000-1 01000000-0 00000000-2 | Stop Pause on"));
        rig.tick(4);
        QCOMPARE(state(rig), QStringLiteral("2 | 10000000-3 01000000-0 >00000000-2 | Start Pause off"));
    }

    void oneRowProgram()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        typeDuration(rig, QStringLiteral("3"));
        click(rig.button("Button18"));  // the program: relay 1 on for 3
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("10000000-3")});
        QCOMPARE(rig.writes(), Bytes{0x01});

        click(f.Button34);  // row 0 is current already: not played
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 | Stop Pause on"));
        QCOMPARE(f.SavedStepDuration, 3);
        rig.tick(2);
        QCOMPARE(state(rig), QStringLiteral("1 | >10000000-1 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 | Start Pause off"));
        QCOMPARE(rig.writes(), Bytes{0x01});

        f.CheckBox1->setChecked(true);
        click(f.Button34);
        for (int pass = 0; pass < 4; ++pass) {
            rig.tick(2);
            QCOMPARE(state(rig), QStringLiteral("1 | >10000000-1 | Stop Pause on"));
            rig.tick();  // the count restarts from the row's duration
            QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 | Stop Pause on"));
        }
        QCOMPARE(rig.writes(), Bytes{0x01});
        QCOMPARE(rig.library.pins(0), 0x01);
    }

    void zeroAndOneLastOneTick()
    {
        Rig rig(1);
        program(rig, {"00000000-0", "10000000-0", "01000000-1", "00100000-2"});
        rig.clickRow(3);
        click(rig.form->Button34);
        rig.tick(3);
        QCOMPARE(rig.current(), 3);
        QCOMPARE(rig.writes(), (Bytes{0x04, 0x00, 0x01, 0x02, 0x04}));
        rig.tick(2);
        QCOMPARE(state(rig), QStringLiteral("2 | 00000000-0 10000000-0 01000000-1 >00100000-2 | Start Pause off"));
    }

    void pauseResumeStop()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        click(f.Button35);  // while stopped: nothing
        QCOMPARE(state(rig), QStringLiteral("0 | >00000000-0 | Start Pause off"));

        program(rig, {"10000000-10", "01000000-4"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(3);
        QCOMPARE(state(rig), QStringLiteral("7 | >10000000-7 01000000-4 | Stop Pause on"));
        click(f.Button35);
        QCOMPARE(state(rig), QStringLiteral("7 | >10000000-7 01000000-4 | Stop Resume off"));
        click(f.Button35);
        QCOMPARE(state(rig), QStringLiteral("7 | >10000000-7 01000000-4 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("6 | >10000000-6 01000000-4 | Stop Pause on"));

        // Stop while paused: the row gets back its step's duration, and
        // Pause/Resume reads "Pause" again. Nothing is switched.
        click(f.Button35);
        const auto written = rig.writes();
        click(f.Button34);
        QCOMPARE(state(rig), QStringLiteral("10 | >10000000-10 01000000-4 | Start Pause off"));
        QCOMPARE(rig.writes(), written);
        QCOMPARE(rig.library.pins(0), 0x01);

        // Stop in the middle of a running step.
        click(f.Button34);
        QCOMPARE(rig.writes(), written);  // row 0 was current: not played again
        rig.tick(5);
        QCOMPARE(state(rig), QStringLiteral("5 | >10000000-5 01000000-4 | Stop Pause on"));
        click(f.Button34);
        QCOMPARE(state(rig), QStringLiteral("10 | >10000000-10 01000000-4 | Start Pause off"));
        click(f.Button35);
        QCOMPARE(state(rig), QStringLiteral("10 | >10000000-10 01000000-4 | Start Pause off"));
    }

    void typingADurationDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-2"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick();
        typeDuration(rig, QStringLiteral("50"));
        QCOMPARE(state(rig), QStringLiteral("50 | >10000000-50 01000000-2 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("49 | >10000000-49 01000000-2 | Stop Pause on"));
        rig.tick(48);
        QCOMPARE(state(rig), QStringLiteral("1 | >10000000-1 01000000-2 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("2 | 10000000-5 >01000000-2 | Stop Pause on"));
    }

    void durationEditor()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        QToolButton* up = arrow(rig, "UpArrow");
        QToolButton* down = arrow(rig, "DownArrow");
        click(down);  // already at 0
        QCOMPARE(f.Edit9->text(), QStringLiteral("0"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-0"));
        click(up);
        click(up);
        QCOMPARE(f.Edit9->text(), QStringLiteral("2"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-2"));
        click(down);
        QCOMPARE(f.Edit9->text(), QStringLiteral("1"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-1"));

        typeDuration(rig, QStringLiteral("9999"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-9999"));
        click(up);  // already at 9999
        QCOMPARE(f.Edit9->text(), QStringLiteral("9999"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-9999"));
        click(down);
        QCOMPARE(rig.row(0), QStringLiteral("00000000-9998"));
        typeDuration(rig, QStringLiteral("0"));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-0"));
        QVERIFY(rig.writes().empty());
        QCOMPARE(f.errorsReported(), 0);
    }

    void resolution()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.TrackBar1->setValue(25);
        QCOMPARE(f.Timer1->interval(), 25);
        QCOMPARE(f.Label5->text(), QStringLiteral("25"));
        click(f.Button34);
        f.TrackBar1->setValue(100);
        QCOMPARE(f.Timer1->interval(), 100);
        QCOMPARE(f.Label5->text(), QStringLiteral("100"));
        QVERIFY(f.Timer1->isEnabled());
        f.TrackBar1->setValue(0);  // below the range
        QCOMPARE(f.Timer1->interval(), 1);
        QCOMPARE(f.Label5->text(), QStringLiteral("1"));
    }

    void shortRowsFromFiles()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"1010101", "10101"});
        typeDuration(rig, QStringLiteral("5"));
        // The carriage return of the row's line fills position 8.
        QCOMPARE(rig.row(0), QStringLiteral("10101011-5"));
        QCOMPARE(f.errorsReported(), 0);

        f.StringGrid4->setCurrentRow(1);
        typeDuration(rig, QStringLiteral("7"));
        const QString box = takeErrorBox();
        QVERIFY2(box.contains(QStringLiteral("row 2")) && box.contains(QStringLiteral("10101")),
                 qPrintable(box));
        QCOMPARE(rig.row(1), QStringLiteral("10101"));
        QCOMPARE(f.Edit9->text(), QStringLiteral("7"));
        QCOMPARE(f.errorsReported(), 1);
    }

    // ---- the operator makes another row current during a run ----

    void clickAnotherRowDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 01000000-3 | Stop Pause on"));
        rig.clickRow(1);
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x01, 0x02}));
        rig.tick(2);
        QCOMPARE(state(rig), QStringLiteral("1 | 10000000-5 >01000000-1 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Start Pause off"));
    }

    void clickTheCurrentRowDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        rig.clickRow(0);  // the step starts again from its own duration
        QCOMPARE(state(rig), QStringLiteral("5 | >10000000-5 01000000-3 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x01, 0x01}));
        rig.tick(4);
        QCOMPARE(state(rig), QStringLiteral("1 | >10000000-1 01000000-3 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Stop Pause on"));
    }

    void addDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        click(f.Button23);
        QCOMPARE(state(rig), QStringLiteral("5 | 10000000-5 01000000-3 >10000000-5 | Stop Pause on"));
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x01, 0x01}));
        rig.tick(4);
        QCOMPARE(state(rig), QStringLiteral("1 | 10000000-5 01000000-3 >10000000-1 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("5 | 10000000-5 01000000-3 >10000000-5 | Start Pause off"));
    }

    void clearAllDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        click(f.Button22);
        QCOMPARE(state(rig), QStringLiteral("0 | >00000000-0 | Stop Pause on"));
        QCOMPARE(rig.library.pins(0), 0x00);
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("0 | >00000000-0 | Start Pause off"));
    }

    void clearTheCurrentRowDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3", "00100000-7"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(10);
        QCOMPARE(state(rig), QStringLiteral("5 | 10000000-5 01000000-3 >00100000-5 | Stop Pause on"));
        const auto written = rig.writes();
        click(f.Button21);
        // The new last row counts from its own duration; nothing is loaded.
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Stop Pause on"));
        QCOMPARE(rig.writes(), written);
        QCOMPARE(rig.library.pins(0), 0x04);
        rig.tick(2);
        QCOMPARE(state(rig), QStringLiteral("1 | 10000000-5 >01000000-1 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Start Pause off"));
    }

    void clearAnotherRowDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3", "00100000-7"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        click(f.Button21);
        QCOMPARE(state(rig), QStringLiteral("3 | >10000000-3 01000000-3 | Stop Pause on"));
        rig.tick(3);
        QCOMPARE(state(rig), QStringLiteral("3 | 10000000-5 >01000000-3 | Stop Pause on"));
    }

    void openAFileDuringARun()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        QFile file(QStringLiteral("next.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("00000011-4\r\n11000000-2\r\n");
        file.close();

        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        // Paused, so that no tick runs while the dialog is open.
        click(f.Button35);
        {
            DialogAnswerer answer(choose(QFileInfo(file).absoluteFilePath()));
            click(f.Button19);
            QVERIFY(answer.answered());
        }
        QCOMPARE(state(rig), QStringLiteral("4 | >00000011-4 11000000-2 | Stop Resume off"));
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x01}));  // the opened rows are not loaded
        click(f.Button35);
        rig.tick(3);
        QCOMPARE(state(rig), QStringLiteral("1 | >00000011-1 11000000-2 | Stop Pause on"));
        rig.tick();
        QCOMPARE(state(rig), QStringLiteral("2 | 00000011-4 >11000000-2 | Stop Pause on"));
        QCOMPARE(rig.lastWrite(), 0x03);
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(RunnerTest)
#include "tst_runner.moc"
