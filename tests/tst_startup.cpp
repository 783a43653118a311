// Start-up, board discovery and board selection.
#include "window_fixture.h"

#include "boardlink/board_combo_box.h"

using namespace fixture;

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    void windowAsDesigned()
    {
        Rig rig(0);
        TForm1& f = *rig.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("Kestrune  ver. 1.3"));
        QCOMPARE(f.size(), QSize(785, 413));
        QCOMPARE(f.TabbedNotebook1->count(), 3);
        QCOMPARE(f.TabbedNotebook1->tabText(0), QStringLiteral("Options"));
        QCOMPARE(f.TabbedNotebook1->tabText(1), QStringLiteral("Manual Mode"));
        QCOMPARE(f.TabbedNotebook1->tabText(2), QStringLiteral("Timer Mode"));
        QCOMPARE(f.TabbedNotebook1->currentIndex(), 0);
        QCOMPARE(rig.find<QWidget>("Panel27")->geometry(), QRect(256, 0, 481, 18));
        QCOMPARE(rig.find<QWidget>("Label3")->pos(), QPoint(48, 400));
        QCOMPARE(rig.panel("Panel10")->geometry(), QRect(0, 56, 49, 25));
        QCOMPARE(rig.panel("Panel6")->geometry(), QRect(736, 248, 49, 25));
        QCOMPARE(rig.button("Button5")->geometry(), QRect(376, 224, 209, 33));
        QCOMPARE(rig.button("Button18")->geometry(), QRect(16, 112, 73, 25));
        QCOMPARE(rig.find<QWidget>("StringGrid4")->geometry(), QRect(504, 168, 153, 193));
        QCOMPARE(rig.find<QWidget>("ComboBox1")->geometry(), QRect(264, 144, 169, 21));
        // The status strip lies in front of the notebook.
        const auto children = f.children();
        QVERIFY(children.indexOf(f.Panel27) > children.indexOf(f.TabbedNotebook1));
        // All three tab captions stay clear of the status strip.
        QVERIFY(f.TabbedNotebook1->x() + f.TabbedNotebook1->tabBar()->sizeHint().width() <=
                f.Panel27->x());
    }

    void startWithoutBoard()
    {
        Rig rig(0);
        TForm1& f = *rig.form;
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("No Boards Found"));
        QCOMPARE(f.ComboBox1->count(), 0);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found !"));
        QCOMPARE(f.Panel27->color(), 255);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(rig.current(), 0);
        QVERIFY(!f.Timer1->isActive());
        QCOMPARE(f.Timer1->interval(), 1);
        QCOMPARE(f.RelayState, 0);
        for (int color : rig.indicators())
            QVERIFY(color != 255 && color != 65280);
    }

    void startWithBoards_data()
    {
        QTest::addColumn<int>("boards");
        QTest::addColumn<int>("listed");
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("twelve") << 12 << 12;
        QTest::newRow("forty") << 40 << 35;
    }

    void startWithBoards()
    {
        QFETCH(int, boards);
        QFETCH(int, listed);
        Rig rig(boards);
        TForm1& f = *rig.form;
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QCOMPARE(f.ComboBox1->count(), listed);
        QCOMPARE(f.ComboBox1->currentIndex(), -1);
        if (boards == 1) {
            QCOMPARE(f.ComboBox1->itemText(0), QStringLiteral("Relay Board 1"));
        } else {
            QCOMPARE(f.ComboBox1->itemText(0), QStringLiteral("Relay Board 1 "));
            QCOMPARE(f.ComboBox1->itemText(8), QStringLiteral("Relay Board 9 "));
            QCOMPARE(f.ComboBox1->itemText(9), QStringLiteral("Relay Board 10"));
            for (int i = 0; i < listed; ++i)
                QCOMPARE(f.ComboBox1->itemText(i).size(), 14);
        }
        // Discovery alone reports nothing in the status strip.
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found !"));
        QCOMPARE(f.Panel27->color(), 255);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QVERIFY(!f.Timer1->isActive());
        // Every listed board is open in bit-bang mode; nothing is written.
        for (int b = 0; b < boards; ++b) {
            QCOMPARE(rig.library.isOpen(b), b < listed);
            QCOMPARE(rig.library.bitMode(b), b < listed ? 0x01 : 0x00);
            QVERIFY(rig.writes(b).empty());
        }
        for (int color : rig.indicators())
            QVERIFY(color != 255 && color != 65280);
    }

    void dropDownRediscovers()
    {
        Rig rig(3);
        TForm1& f = *rig.form;
        rig.pickBoard(1);
        QCOMPARE(f.boards.selected, 1);
        for (int round = 1; round <= 2; ++round) {
            f.ComboBox1->showPopup();
            f.ComboBox1->hidePopup();
            QCOMPARE(f.ComboBox1->count(), 3);
            QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
            QCOMPARE(f.boards.selected, 1);
            for (int b = 0; b < 3; ++b) {
                QCOMPARE(rig.library.openCount(b), 1 + round);
                QCOMPARE(rig.library.closeCount(b), round);
                QVERIFY(rig.library.isOpen(b));
            }
        }
        // The selected board still answers after its handle was renewed.
        rig.pickBoard(1);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
    }

    void pickingBoards()
    {
        Rig rig(2, [](SimulatedLibrary& lib) {
            lib.addBoard();
            lib.setHeldElsewhere(2, true);
        });
        TForm1& f = *rig.form;
        rig.library.forcePins(1, 0x81, 0x81);  // relays 1 and 8 read back on
        f.Edit9->setText(QStringLiteral("5"));
        rig.pickBoard(1);
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(f.Panel27->color(), 65280);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(rig.indicators(), (QList<int>{65280, 255, 255, 255, 255, 255, 255, 65280}));
        QCOMPARE(rig.row(0), QStringLiteral("10000001-5"));
        QCOMPARE(rig.bars(), (QList<int>{32, 112, 112, 112, 112, 112, 112, 32}));
        QCOMPARE(rig.captions().first(), QStringLiteral("Relay 1 OFF"));
        QCOMPARE(rig.captions().at(1), QStringLiteral("Relay 2 ON"));
        QCOMPARE(f.RelayState, 0x81);

        rig.pickBoard(2);  // held by another process
        QCOMPARE(f.boards.selected, 2);
        QCOMPARE(f.Panel27->color(), 255);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found or already opened!"));
        // Relay operations now reach no board.
        const auto before0 = rig.writes(0).size();
        const auto before1 = rig.writes(1).size();
        click(rig.button("Button9"));
        QCOMPARE(rig.writes(0).size(), before0);
        QCOMPARE(rig.writes(1).size(), before1);
    }

    void fewerBoardsAfterRediscovery()
    {
        Rig rig(3);
        TForm1& f = *rig.form;
        rig.pickBoard(2);
        rig.library.setAttached(2, false);
        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QCOMPARE(f.ComboBox1->count(), 2);
        QCOMPARE(f.boards.selected, 2);
        // The pulled board is addressed through its stale handle: no effect.
        click(rig.button("Button9"));
        QVERIFY(rig.writes(2).empty());

        rig.library.setAttached(0, false);
        rig.library.setAttached(1, false);
        f.ComboBox1->showPopup();
        f.ComboBox1->hidePopup();
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("No Boards Found"));
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found !"));
        QCOMPARE(f.Panel27->color(), 255);
    }

    void readBackDiffersFromWrite()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.library.forcePins(0, 0x02, 0x00);  // relay 2 is stuck off
        rig.pickBoard(0);
        click(rig.button("Button9"));  // ALL ON
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.RelayState, 0xFD);
        QCOMPARE(rig.row(0), QStringLiteral("10111111-0"));
        QCOMPARE(rig.bars().at(1), 112);
        QCOMPARE(rig.bars().at(0), 32);
    }

    void typedTextLeavesSelection()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.pickBoard(1);
        const auto reads = rig.library.calls().size();
        f.ComboBox1->setFocus();
        f.ComboBox1->lineEdit()->selectAll();
        QTest::keyClicks(f.ComboBox1->lineEdit(), QStringLiteral("Board 7"));
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(rig.library.calls().size(), reads);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        // Enter on text that names no entry picks nothing either.
        QTest::keyClick(f.ComboBox1->lineEdit(), Qt::Key_Return);
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(f.ComboBox1->count(), 2);
    }

    void closeSavesLabelsAndClosesFirstBoard()
    {
        Rig rig(2);
        QVERIFY(!QFile::exists(QStringLiteral("labels.dat")));
        rig.form->close();
        QCOMPARE(rig.library.closeCount(0), 1);
        QCOMPARE(rig.library.closeCount(1), 0);
        QFile file(QStringLiteral("labels.dat"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), 320);
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
