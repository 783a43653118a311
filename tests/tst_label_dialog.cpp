// The "Setting" dialog that renames a relay's two labels, the sixteen mouse
// presses that feed it, and the typed-text limit of its two edits.
#include "window_fixture.h"

using namespace fixture;

namespace {
// Replaces an edit's text the way the operator does: select all, type.
void retype(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

QByteArray record(int slot) { return readFile(QStringLiteral("labels.dat")).mid(20 * slot, 20); }

}  // namespace

class LabelDialogTest : public WindowTest {
    Q_OBJECT
private slots:
    // A right press opens the dialog (not modal) on the relay's labels and
    // saves the file; OK stores the labels but changes no caption, and the
    // file follows at the next press. The step bar of a relay edits the same
    // two slots as its manual button.
    void rightPressOpensDialog()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        click(f.stepBar(2), Qt::RightButton);
        QVERIFY(dialog->isVisible());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(f.EditedLabelIndex, 10);
        QCOMPARE(dialog->Edit2->text(), offLabel(2));
        const QByteArray saved = readFile(QStringLiteral("labels.dat"));
        QCOMPARE(saved, f.labels.image());
        click(f.manualButton(2), Qt::RightButton);
        QCOMPARE(f.EditedLabelIndex, 2);
        retype(dialog->Edit1, QStringLiteral("Pump on"));
        retype(dialog->Edit2, QStringLiteral("Pump off"));
        click(dialog->Button1);
        QVERIFY(!dialog->isVisible());
        for (int s = 0; s < 16; ++s)
            QCOMPARE(f.labels.slot(s), s == 1 ? "Pump on" : s == 9 ? "Pump off" : LabelTable::defaultLabel(s));
        QCOMPARE(f.manualButton(2)->text(), offLabel(2));
        QCOMPARE(readFile(QStringLiteral("labels.dat")), saved);
        click(f.stepBar(8), Qt::RightButton);
        QCOMPARE(record(9).left(9), QByteArray("Pump off\0", 9));
        QVERIFY(rig.writes().empty());
    }

    // A left click fills the edits (the dialog stays hidden) and saves the
    // label file before the relay is switched.
    void leftClickSavesBeforeSwitching()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        click(f.manualButton(1), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("Lamp on"));
        click(dialog->Button1);
        const QByteArray edited = f.labels.image();
        QVERIFY(readFile(QStringLiteral("labels.dat")) != edited);
        QList<QByteArray> fileAtWrite;
        rig.library.setWriteObserver([&](int, std::uint8_t) { fileAtWrite << readFile(QStringLiteral("labels.dat")); });
        click(f.stepBar(3));
        QCOMPARE(fileAtWrite, QList<QByteArray>{edited});
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.EditedLabelIndex, 11);
        QCOMPARE(dialog->Edit1->text(), onLabel(3));
    }

    // Enter in either edit, on OK or on the dialog itself completes it like
    // OK; other keys reach the edits, and closing from the window frame
    // hides the dialog: they store nothing.
    void keys_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("completes");
        QTest::newRow("Enter in Edit1") << "Edit1" << int(Qt::Key_Return) << true;
        QTest::newRow("keypad Enter") << "Edit1" << int(Qt::Key_Enter) << true;
        QTest::newRow("Enter on OK") << "Button1" << int(Qt::Key_Return) << true;
        QTest::newRow("Escape") << "Edit1" << int(Qt::Key_Escape) << false;
        QTest::newRow("frame close") << "Form2" << 0 << false;
    }
    void keys()
    {
        QFETCH(QString, target);
        QFETCH(int, key);
        QFETCH(bool, completes);
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        click(f.manualButton(5), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("Heat"));
        retype(dialog->Edit2, QStringLiteral("Cool"));
        QWidget* w = target == QLatin1String("Form2") ? dialog : dialog->findChild<QWidget*>(target);
        QVERIFY(w);
        if (key)
            QTest::keyClick(w, Qt::Key(key));
        else
            QVERIFY(dialog->close());
        QCOMPARE(dialog->isVisible(), !completes && key);
        QCOMPARE(f.labels.turnOn(5), completes ? QByteArray("Heat") : QByteArray("Relay 5 ON"));
        QCOMPARE(f.labels.turnOff(5), completes ? QByteArray("Cool") : QByteArray("Relay 5 OFF"));
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Heat"));
    }

    // A label of 19 characters from the file reaches the edit whole; OK
    // stores its first 18. An emptied edit stores an empty label, saved as a
    // NUL. Confirmed labels reach the file at exit too.
    void storedLengths()
    {
        LabelTable table;
        table.setSlot(2, "ABCDEFGHIJKLMNOPQRS");
        QVERIFY(LabelFile::save(QStringLiteral("labels.dat"), table));
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        click(f.manualButton(3), Qt::RightButton);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        retype(dialog->Edit2, QString());
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOn(3), QByteArray("ABCDEFGHIJKLMNOPQR"));
        QCOMPARE(f.labels.turnOff(3), QByteArray());
        f.close();
        QCOMPARE(record(2).left(19), QByteArray("ABCDEFGHIJKLMNOPQR\0", 19));
        QCOMPARE(record(10).at(0), '\0');
    }

    // The operator can type at most 10 characters, and only characters with
    // a single-byte (Latin-1) form; text the program puts in is kept whole.
    void typedTextLimit()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        click(f.manualButton(1), Qt::RightButton);
        LimitedEdit* edit = dialog->Edit1;
        retype(edit, QStringLiteral("ABCDEFGHIJKLMNOP"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJ"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QStringLiteral("YZ"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIY"));
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClicks(edit, QStringLiteral("x"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIY"));

        retype(edit, QStringLiteral("Temp"));
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(QChar(0x20AC)), Qt::NoModifier);
        QCOMPARE(edit->text(), QStringLiteral("Temp"));
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(QChar(0x00E9)), Qt::NoModifier);
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOn(1), QByteArray("Temp\xE9"));

        f.labels.setSlot(1, "ABCDEFGHIJKLMNOPQRS");
        click(f.manualButton(2), Qt::RightButton);
        edit->setFocus();
        edit->end(false);
        QTest::keyClicks(edit, QStringLiteral("T"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QStringLiteral("T"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOPQR"));
    }
};

QTEST_MAIN(LabelDialogTest)
#include "tst_label_dialog.moc"
