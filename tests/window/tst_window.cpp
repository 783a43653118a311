// The window over its session: each control reaches its operation, each
// change of the session shows in its control, and the dialogs the window
// owns (file dialogs, message boxes, the label dialog).
#include "window_fixture.h"

using namespace fixture;

namespace {
// Every control that shows session state, compared with the session.
void checkMirrored(const Rig& rig)
{
    const MainWindow& f = *rig.form;
    const WindowSession& s = rig.s();
    QCOMPARE(std::pair(f.Panel27->text(), f.Panel27->color()), std::pair(s.statusText, Looks::statusColor(s.boardFound)));
    for (int r = 1; r <= 8; ++r) {
        const auto i = std::size_t(r);
        QCOMPARE(std::pair(f.manualButton(r)->text(), f.stepBar(r)->text()), std::pair(s.captions[i], s.barCaptions[i]));
        QCOMPARE(std::pair(f.stepBar(r)->y(), f.indicator(r)->color()), std::pair(Looks::barTop(s.barsRaised[i]), Looks::lampColor(s.indicators[i])));
    }
    QCOMPARE(f.Edit9->text(), s.timerValue);
    QCOMPARE(f.StringGrid4->currentRow(), s.currentRow());
    QCOMPARE(f.programModel->rowCount(), s.program.count());
    for (int row = 0; row < s.program.count(); ++row)
        QCOMPARE(f.programModel->index(row, 0).data().toString(), QString::fromLatin1(s.program.text(row)));
    QCOMPARE(f.Button34->text(), s.runActive() ? QStringLiteral("Stop") : QStringLiteral("Start"));
    QCOMPARE(f.Label5->text(), s.resolutionText);
    QCOMPARE(std::pair(f.ComboBox1->count(), f.ComboBox1->currentText()), std::pair(int(s.boardEntries.size()), s.boardText));
}

void retype(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
}
}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(!QApplication::activeModalWidget(), "a dialog was left open"); }

    // The window as drawn: its size, icon and controls in place; the strip's
    // and the lamps' colours painted; the program list in the window's face
    // colour, not white; every label showing its whole text in the
    // platform's font, on each page and in the Setting dialog: none is wider
    // than its label, and nothing in front of a label covers its text.
    void layout()
    {
        Rig rig(2);
        MainWindow& f = *rig.form;
        QCOMPARE(std::pair(f.windowTitle(), f.size()), std::pair(QStringLiteral("Kestrune  ver. 1.3"), QSize(785, 413)));
        QVERIFY(QFile::exists(QStringLiteral(":/kestrune.png")) && !f.windowIcon().isNull());
        const std::pair<const char*, QRect> placed[] = {
            {"Button2", {88, 40, 209, 33}}, {"Button8", {376, 40, 209, 33}}, {"Panel10", {0, 56, 49, 25}},
            {"Button18", {16, 112, 73, 25}}, {"StringGrid4", {504, 168, 153, 193}}, {"Edit9", {400, 328, 57, 21}},
            {"ComboBox1", {264, 144, 169, 21}}, {"Panel27", {256, 0, 481, 18}}};
        for (const auto& [name, rect] : placed)
            QCOMPARE(f.findChild<QWidget*>(QLatin1String(name))->geometry(), rect);
        QCOMPARE(f.ComboBox1->itemData(1, Qt::ToolTipRole).toString(),
                 QStringLiteral("Serial number: KSIM0002\nSimulated relay board\nPort: 1-2"));
        checkMirrored(rig);
        QWidget* cells = f.StringGrid4->viewport();
        const QRgb face = QApplication::palette().color(QPalette::Button).rgb();
        QVERIFY(face != QColor(Qt::white).rgb());
        QCOMPARE(cells->grab().toImage().pixelColor(cells->width() / 2, cells->height() - 4).rgb(), face);  // below the row
        f.show();
        // Painted as the operator sees it: "Board found !" on lime, the lamps red (all off).
        const QImage shown = f.grab().toImage();
        const auto at = [&](QWidget* w) { return shown.pixelColor(w->mapTo(&f, w->rect().center() + QPoint(0, 6))); };
        QCOMPARE(at(f.Panel27), QColor(0, 255, 0));
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(at(f.indicator(relay)), QColor(255, 0, 0));
        f.labelDialog()->show();
        for (int page = 0; page < 3; ++page) {
            f.TabbedNotebook1->setCurrentIndex(page);
            for (QWidget* window : std::initializer_list<QWidget*>{&f, f.labelDialog()})
                for (QLabel* label : window->findChildren<QLabel*>()) {
                    if (label->text().isEmpty() || !label->isVisible())
                        continue;
                    const QRect text = QStyle::alignedRect(label->layoutDirection(), label->alignment(), label->fontMetrics().size(0, label->text()), label->contentsRect());
                    QVERIFY2(label->contentsRect().contains(text), qPrintable(label->objectName() + " is too small for " + label->text()));
                    for (int x = text.left(); x <= text.right(); ++x)
                        QVERIFY2(window->childAt(label->mapTo(window, QPoint(x, text.center().y()))) == label, qPrintable(label->objectName() + " is covered"));
                }
        }
    }

    // boards.conf names a board in its tooltip; a file with a mistake shows
    // its error at start, and every relay operation is refused with it.
    void boardsConf()
    {
        QCOMPARE(Rig(1, "[board pump-house]\nserial = KSIM0001\n").form->ComboBox1->itemData(0, Qt::ToolTipRole).toString(),
                 QStringLiteral("Serial number: KSIM0001   Name: pump-house\nSimulated relay board\nPort: 1-1"));
        Rig rig(1, "[board pump-house]\nport = 1-1\nrelay.1 = x\nrelay.2 = x\n");
        const QString error = rig.work.file("boards.conf") + ":4: relay name x is used twice";
        QCOMPARE(takeErrorBox(), error);
        MainWindow& f = *rig.form;
        const auto shown = [&] { return std::tuple(f.manualButton(1)->text(), f.stepBar(2)->y(), f.indicator(1)->color()); };
        const auto before = shown();
        for (QWidget* control : std::initializer_list<QWidget*>{f.manualButton(1), f.Button9, f.Button10, f.stepBar(2), f.Button34, nullptr}) {
            control ? click(control) : rig.clickRow(0);
            QCOMPARE(takeErrorBox(), error);
        }
        QCOMPARE(std::tuple(rig.writes(), rig.s().runActive(), shown()), std::tuple(Bytes{}, false, before));
    }

    // Clicks and keys reach the session; what they change shows. (A drop-down
    // and a pick of Select Board are the emulated window test's, where they
    // find real boards.)
    void controls()
    {
        Rig rig(2);
        MainWindow& f = *rig.form;
        Bytes expected;  // each manual button switches its relay on, then each step bar its relay off
        for (int r = 1; r <= 16; ++r) {
            click(r <= 8 ? f.manualButton(r) : f.stepBar(r - 8));
            expected.push_back(std::uint8_t(r <= 8 ? (1u << r) - 1 : 0xFFu << (r - 8)));
        }
        QCOMPARE(rig.writes(), expected);

        click(f.Button23);                    // Add
        retype(f.Edit9, QStringLiteral("12"));
        QCOMPARE(rig.s().program.text(1), QByteArray("00000000-12"));
        QTest::keyClick(f.Edit9, Qt::Key_Up);
        click(f.UpDown1->findChild<QWidget*>(QStringLiteral("UpArrow")));
        QCOMPARE(f.Edit9->text(), QStringLiteral("14"));
        rig.clickRow(0);
        QCOMPARE(f.Edit9->text(), QStringLiteral("0"));
        f.TrackBar1->setValue(7);
        QCOMPARE(f.tickTimer->interval(), 7);
        click(f.CheckBox1);                   // Repeat: the emulated window test's runs need it
        click(f.Button34);
        click(f.Button35);
        QCOMPARE(f.Button35->text(), QStringLiteral("Resume"));
        QVERIFY(!f.tickTimer->isEnabled());
        click(f.Button34);
        click(f.Button22);                    // Clear all
        click(f.Button21);                    // Clear: one row stays
        QCOMPARE(f.programModel->rowCount(), 1);
        checkMirrored(rig);
    }

    // A right press opens the label dialog (not modal) on the relay's labels;
    // two texts alike are refused with a message, the dialog staying as typed;
    // Enter stores them; a left press fills the edits and keeps it hidden.
    void labelDialog()
    {
        Rig rig(1);
        MainWindow& f = *rig.form;
        LabelDialog* dialog = f.labelDialog();
        click(f.stepBar(2), Qt::RightButton);
        QVERIFY(dialog->isVisible() && dialog->isWindow() && dialog->windowTitle() == "Setting" && !QApplication::activeModalWidget());
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay 2 OFF"));
        retype(dialog->Edit1, QStringLiteral("Pump on, typed long"));
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Pump on, t"));  // ten characters typed at most
        retype(dialog->Edit2, QStringLiteral("Pump on, t"));
        QString why;
        clickThrough(dialog->Button1, {pressMessageButton(QMessageBox::Ok, &why)});
        QVERIFY(why.contains("must differ") && dialog->isVisible() && dialog->Edit2->text() == "Pump on, t" && rig.s().labels.turnOff(2) == "Relay 2 OFF");
        retype(dialog->Edit2, QStringLiteral("Pump off"));
        QTest::keyClick(dialog->Edit1, Qt::Key_Return);
        QCOMPARE(std::pair(rig.s().labels.turnOn(2), dialog->isVisible()), std::pair(QByteArray("Pump on, t"), false));
        click(f.manualButton(3));
        QCOMPARE(std::pair(dialog->Edit1->text(), dialog->isVisible()), std::pair(QStringLiteral("Relay 3 ON"), false));
        for (const auto& [button, key, modifiers] : {std::tuple{f.manualButton(4), Qt::Key_Menu, Qt::NoModifier}, {f.stepBar(5), Qt::Key_F10, Qt::ShiftModifier}}) {
            dialog->hide();
            QTest::keyClick(button, key, modifiers);  // the keyboard's right press
            QCOMPARE(std::pair(dialog->Edit1->text(), dialog->isVisible()), std::pair(QStringLiteral("Relay %1 ON").arg(button == f.stepBar(5) ? 5 : 4), true));
        }
        f.close();
        QCOMPARE(readFile(QStringLiteral("labels.dat")), rig.s().labels.image());
    }

    // Saving appends ".txt" and asks before replacing; opening replaces the
    // list; a file that cannot be read shows a message; cancel does nothing.
    // A range error shows one error box naming the row; errors while it is
    // open are counted, not shown.
    void dialogs()
    {
        Rig rig(1);
        MainWindow& f = *rig.form;
        rig.s().program.replaceAll({"10000000-1", "01000000-2"});
        clickThrough(f.Button20, {chooseFile(rig.work.file("prog"))});
        QCOMPARE(readFile(rig.work.file("prog.txt")), QByteArray("10000000-1\r\n01000000-2\r\n"));
        QString question;
        clickThrough(f.Button20, {chooseFile(rig.work.file("prog.txt")), pressMessageButton(QMessageBox::No, &question)});
        QVERIFY(question.contains(QLatin1String("prog.txt")));
        clickThrough(f.Button20, {cancelDialog()});
        clickThrough(f.Button22, {});
        clickThrough(f.Button19, {chooseFile(rig.work.file("prog.txt"))});
        QCOMPARE(f.programModel->rowCount(), 2);
        QString message;
        clickThrough(f.Button19, {chooseFile(rig.work.file("gone.txt"), false), pressMessageButton(QMessageBox::Ok, &message)});
        QVERIFY(message.contains(QLatin1String("does not exist")));
        checkMirrored(rig);
        rig.s().program.replaceAll({"10000000-1", ""});
        rig.clickRow(1);
        rig.clickRow(1);
        QCOMPARE(f.errorsReported(), 2);
        QVERIFY(takeErrorBox().startsWith(QLatin1String("Row 2 is not a relay pattern")));
        QCOMPARE(takeErrorBox(), QString());
    }

    // Typed characters neither move nor load a row; the arrow, Page and
    // Ctrl+Home/End keys move and load the row they reach, once.
    void keysInTheProgramList_data()
    {
        columns<QString, int, int>({"keys", "from", "row"});
        for (const auto& [keys, from, row] : {std::tuple{"1", 0, 0}, {"0", 0, 0}, {"A", 0, 0}, {"Space", 0, 0},
                                              {"1, 0", 0, 0}, {"1, 0", 2, 2}, {"Down", 0, 1}, {"Up", 2, 1},
                                              {"PgDown", 0, 2}, {"PgUp", 2, 0}, {"Ctrl+End", 0, 2}, {"Ctrl+Home", 2, 0}})
            QTest::addRow("%s from %d", keys, from) << QString::fromLatin1(keys) << from << row;
    }
    void keysInTheProgramList()
    {
        const int from = fetch<int>("from"), row = fetch<int>("row");
        Rig rig(1);
        rig.s().program.replaceAll({"00000000-1", "10000000-2", "01000000-3"});  // row n switches byte n
        rig.s().program.setCurrent(from);
        QTest::keySequence(rig.form->StringGrid4, QKeySequence::fromString(fetch<QString>("keys")));
        QCOMPARE(rig.form->StringGrid4->currentRow(), row);
        QCOMPARE(rig.s().currentRow(), row);
        QCOMPARE(rig.writes(), row == from ? Bytes{} : Bytes{std::uint8_t(row)});
    }

    // A wheel turn over "Select Board" picks a board, and one over "Timer
    // resolution" changes the tick, only while the control has the focus.
    void wheelOnlyWithFocus()
    {
        for (const bool focused : {false, true}) {
            Rig rig(2);
            MainWindow& f = *rig.form;
            f.show();
            QVERIFY(QTest::qWaitForWindowActive(&f));
            auto turn = [&](QWidget* control, int delta) {
                if (focused)
                    control->setFocus(Qt::TabFocusReason);
                QCOMPARE(control->hasFocus(), focused);
                QWheelEvent turn({9, 9}, control->mapToGlobal(QPointF{9, 9}), {}, {0, delta}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
                QApplication::sendEvent(control, &turn);
            };
            QSignalSpy picked(f.ComboBox1, &QComboBox::activated);
            turn(f.ComboBox1, -120);
            QCOMPARE(std::pair(int(picked.count()), rig.s().boardIndex), focused ? std::pair(1, 0) : std::pair(0, -1));
            f.TabbedNotebook1->setCurrentIndex(2);
            turn(f.TrackBar1, 120);
            QCOMPARE(std::pair(f.tickTimer->interval() > 1, f.Label5->text() != "1"), std::pair(focused, focused));
        }
        QCOMPARE(BoardComboBox().focusPolicy(), Qt::StrongFocus);  // a wheel turn alone takes no focus
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
