// The "Setting" dialog that renames a relay's two labels, the sixteen mouse
// presses that feed it, and the typed-text limit of its two edits.
#include "window_fixture.h"

using namespace fixture;

namespace {

const char* const FileName = "labels.dat";

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

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

void typeText(QWidget* w, const QString& text)
{
    QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, text, Qt::NoModifier);
}

QByteArray record(const QByteArray& file, int slot) { return file.mid(20 * slot, 20); }

}  // namespace

class LabelDialogTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    void rightPressOpensDialog()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QVERIFY(!dialog->isVisible());

        QTest::mouseClick(f.manualButton(2), Qt::RightButton);  // Button3
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Setting"));
        QVERIFY(!dialog->isModal());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(f.EditedLabelIndex, 2);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay 2 ON"));
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay 2 OFF"));
        QVERIFY(rig.writes().empty());
        const QByteArray saved = f.labels.image();
        QCOMPARE(readAll(FileName), saved);  // the press saved the file

        retype(dialog->Edit1, QStringLiteral("Pump on"));
        retype(dialog->Edit2, QStringLiteral("Pump off"));
        click(dialog->Button1);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.labels.slot(1), QByteArray("Pump on"));
        QCOMPARE(f.labels.slot(9), QByteArray("Pump off"));
        for (int s = 0; s < 16; ++s)
            if (s != 1 && s != 9)
                QCOMPARE(f.labels.slot(s), LabelTable::defaultLabel(s));
        // Captions follow only at their next update; the file at the next press.
        QCOMPARE(f.manualButton(2)->text(), QStringLiteral("Relay 2 OFF"));
        QCOMPARE(f.stepBar(2)->text(), QStringLiteral("Relay 2 OFF"));
        QCOMPARE(readAll(FileName), saved);
        QCOMPARE(f.EditedLabelIndex, 2);

        QTest::mouseClick(f.manualButton(8), Qt::RightButton);
        QCOMPARE(f.EditedLabelIndex, 8);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay 8 ON"));
        const QByteArray file = readAll(FileName);
        QCOMPARE(file.size(), 320);
        QCOMPARE(record(file, 1).left(8), QByteArray("Pump on\0", 8));
        QCOMPARE(record(file, 9).left(9), QByteArray("Pump off\0", 9));
        QVERIFY(rig.writes().empty());
    }

    // The step bar of relay 2 edits the same two slots as its manual button.
    void rightPressOnStepBar()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.stepBar(2), Qt::RightButton);  // Button17
        QVERIFY(dialog->isVisible());
        QCOMPARE(f.EditedLabelIndex, 10);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay 2 ON"));
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay 2 OFF"));
        retype(dialog->Edit1, QStringLiteral("Valve open"));
        retype(dialog->Edit2, QStringLiteral("Valve shut"));
        click(dialog->Button1);
        QCOMPARE(f.labels.slot(1), QByteArray("Valve open"));
        QCOMPARE(f.labels.slot(9), QByteArray("Valve shut"));
        QCOMPARE(f.stepBar(2)->text(), QStringLiteral("Relay 2 OFF"));
        QCOMPARE(f.stepBar(2)->y(), 112);
        QVERIFY(rig.writes().empty());

        QTest::mouseClick(f.stepBar(8), Qt::RightButton);  // Button11
        QCOMPARE(f.EditedLabelIndex, 16);
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay 8 OFF"));
    }

    // A left click fills the edits (the dialog stays hidden) and saves the
    // label file before the relay is switched.
    void leftClickSavesBeforeSwitching_data()
    {
        QTest::addColumn<bool>("stepBar");
        QTest::addColumn<int>("relay");
        QTest::addColumn<int>("index");
        QTest::newRow("Button4") << false << 4 << 4;
        QTest::newRow("Button16") << true << 3 << 11;
    }
    void leftClickSavesBeforeSwitching()
    {
        QFETCH(bool, stepBar);
        QFETCH(int, relay);
        QFETCH(int, index);
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(1), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("Lamp on"));
        retype(dialog->Edit2, QStringLiteral("Lamp off"));
        QTest::keyClick(dialog->Edit2, Qt::Key_Return);
        QVERIFY(!dialog->isVisible());
        const QByteArray edited = f.labels.image();
        QVERIFY(readAll(FileName) != edited);

        QList<QByteArray> fileAtWrite;
        rig.library.setWriteObserver(
            [&](int, std::uint8_t) { fileAtWrite << readAll(FileName); });
        QWidget* button = stepBar ? f.stepBar(relay) : f.manualButton(relay);
        click(button);
        QCOMPARE(fileAtWrite.size(), 1);
        QCOMPARE(fileAtWrite.first(), edited);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.EditedLabelIndex, index);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay %1 ON").arg(relay));
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay %1 OFF").arg(relay));
        QCOMPARE(rig.writes().size(), std::size_t(1));
    }

    // Enter in either edit, on OK or on the dialog itself completes it like OK.
    void enterCompletes_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("key");
        QTest::newRow("Edit1") << "Edit1" << int(Qt::Key_Return);
        QTest::newRow("Edit2") << "Edit2" << int(Qt::Key_Return);
        QTest::newRow("Edit1 keypad") << "Edit1" << int(Qt::Key_Enter);
        QTest::newRow("OK") << "Button1" << int(Qt::Key_Return);
        QTest::newRow("form") << "Form2" << int(Qt::Key_Return);
    }
    void enterCompletes()
    {
        QFETCH(QString, target);
        QFETCH(int, key);
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(5), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("Heat"));
        retype(dialog->Edit2, QStringLiteral("Cool"));
        QWidget* w = target == QLatin1String("Form2")
                         ? static_cast<QWidget*>(dialog)
                         : dialog->findChild<QWidget*>(target);
        QVERIFY(w);
        QTest::keyClick(w, Qt::Key(key));
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.labels.turnOn(5), QByteArray("Heat"));
        QCOMPARE(f.labels.turnOff(5), QByteArray("Cool"));
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Heat"));  // the texts stay
    }

    // Other keys reach the edits as usual and complete nothing.
    void otherKeysDoNotComplete()
    {
        Rig rig(1);
        TForm2* dialog = rig.form->Form2();
        QTest::mouseClick(rig.form->manualButton(1), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("ab"));
        QTest::keyClick(dialog->Edit1, Qt::Key_Escape);
        QTest::keyClick(dialog->Edit1, Qt::Key_Tab);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("ab"));
        QCOMPARE(rig.form->labels.turnOn(1), QByteArray("Relay 1 ON"));
    }

    // Closing from the window frame hides the dialog and stores nothing.
    void frameCloseStoresNothing()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(6), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("lost"));
        retype(dialog->Edit2, QStringLiteral("lost too"));
        QVERIFY(dialog->close());
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.labels.turnOn(6), QByteArray("Relay 6 ON"));
        QCOMPARE(f.labels.turnOff(6), QByteArray("Relay 6 OFF"));
        QCOMPARE(f.EditedLabelIndex, 6);
        QVERIFY(f.isEnabled());
        // Reopened, it shows the stored labels again.
        QTest::mouseClick(f.manualButton(6), Qt::RightButton);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay 6 ON"));
    }

    // A press on any relay button while the dialog is open retargets it;
    // the main window keeps working.
    void pressWhileOpenRetargets()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(2), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("typed"));

        QTest::mouseClick(f.stepBar(6), Qt::MiddleButton);  // Button13
        QVERIFY(dialog->isVisible());
        QCOMPARE(f.EditedLabelIndex, 14);
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Relay 6 ON"));

        click(f.manualButton(1));  // switches relay 1 with the dialog open
        QCOMPARE(rig.writes().size(), std::size_t(1));
        QCOMPARE(f.manualButton(1)->text(), QStringLiteral("Relay 1 ON"));
        QVERIFY(dialog->isVisible());
        QCOMPARE(f.EditedLabelIndex, 1);
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("Relay 1 OFF"));

        retype(dialog->Edit2, QStringLiteral("Stop"));
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOff(1), QByteArray("Stop"));
        QCOMPARE(f.labels.turnOn(1), QByteArray("Relay 1 ON"));
        QCOMPARE(f.labels.turnOn(2), QByteArray("Relay 2 ON"));
        QCOMPARE(f.labels.turnOn(6), QByteArray("Relay 6 ON"));
    }

    // A label of 19 characters from the file reaches the edit whole; OK
    // stores its first 18 characters.
    void nineteenCharacterLabel()
    {
        LabelTable table;
        table.setSlot(2, "ABCDEFGHIJKLMNOPQRS");
        table.setSlot(10, "abcdefghijklmnopqrs");
        QVERIFY(LabelFile::save(FileName, table));
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QCOMPARE(f.manualButton(3)->text(), QStringLiteral("abcdefghijklmnopqrs"));
        QTest::mouseClick(f.manualButton(3), Qt::RightButton);  // Button1
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("abcdefghijklmnopqrs"));
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOn(3), QByteArray("ABCDEFGHIJKLMNOPQR"));
        QCOMPARE(f.labels.turnOff(3), QByteArray("abcdefghijklmnopqr"));
        f.close();
        const QByteArray file = readAll(FileName);
        QCOMPARE(record(file, 2).left(19), QByteArray("ABCDEFGHIJKLMNOPQR\0", 19));
    }

    // Clearing an edit and pressing OK stores an empty label, which is saved
    // as a NUL and compared like any other.
    void emptyLabel()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(7), Qt::RightButton);
        retype(dialog->Edit1, QString());
        QCOMPARE(dialog->Edit1->text(), QString());
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOn(7), QByteArray());
        QCOMPARE(f.labels.turnOff(7), QByteArray("Relay 7 OFF"));

        click(f.Button10);  // relay 7 shows its empty turn-on label
        QCOMPARE(f.manualButton(7)->text(), QString());
        click(f.manualButton(7));
        QCOMPARE(rig.lastWrite(), 0x40);
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("Relay 7 OFF"));
        const QByteArray file = readAll(FileName);
        QCOMPARE(file.size(), 320);
        QCOMPARE(file.at(120), '\0');
    }

    // Labels confirmed with OK reach the file at exit too.
    void labelsSavedAtExit()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(4), Qt::RightButton);
        retype(dialog->Edit1, QStringLiteral("Go"));
        click(dialog->Button1);
        QVERIFY(record(readAll(FileName), 3).startsWith("Relay 4 ON"));
        QTest::mouseClick(f.manualButton(4), Qt::RightButton);
        f.close();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(record(readAll(FileName), 3).left(3), QByteArray("Go\0", 3));
    }

    // The operator can type at most 10 characters; the program may put in more.
    void typedTextLimit()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        TForm2* dialog = f.Form2();
        QTest::mouseClick(f.manualButton(1), Qt::RightButton);
        LimitedEdit* edit = dialog->Edit1;
        retype(edit, QStringLiteral("ABCDEFGHIJKLMNOP"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJ"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QStringLiteral("YZ"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIY"));
        // Typing in the middle of a full edit is refused too.
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClicks(edit, QStringLiteral("x"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIY"));
        retype(dialog->Edit2, QStringLiteral("0123456789abc"));
        QCOMPARE(dialog->Edit2->text(), QStringLiteral("0123456789"));

        // A character without a single-byte form is refused; Latin-1 is not.
        retype(edit, QStringLiteral("Temp"));
        typeText(edit, QString(QChar(0x20AC)));
        QCOMPARE(edit->text(), QStringLiteral("Temp"));
        typeText(edit, QString(QChar(0x00E9)));
        QCOMPARE(edit->text(), QString::fromUtf8("Tempé"));
        click(dialog->Button1);
        QCOMPARE(f.labels.turnOn(1), QByteArray("Temp\xE9"));
        QCOMPARE(f.labels.turnOff(1), QByteArray("0123456789"));
        QTest::mouseClick(f.manualButton(1), Qt::MiddleButton);
        QCOMPARE(record(readAll(FileName), 0).left(6), QByteArray("Temp\xE9\0", 6));

        // Text the program puts in is kept whole; typing cannot make it longer.
        f.labels.setSlot(1, "ABCDEFGHIJKLMNOPQRS");
        QTest::mouseClick(f.manualButton(2), Qt::RightButton);
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        edit->setFocus();
        edit->end(false);
        QTest::keyClicks(edit, QStringLiteral("T"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QStringLiteral("T"));
        QCOMPARE(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOPQR"));
        QCOMPARE(edit->typedLimit(), 10);
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(LabelDialogTest)
#include "tst_label_dialog.moc"
