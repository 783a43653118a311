// The main window on FtdiLibrary against two emulated FT232R boards: the
// real libftdi1 and libusb carry every relay operation down to the usbdevfs
// emulation, so these tests check the pins themselves.
#include "engine/device/ftdi_library.h"
#include "safety_monitor.h"
#include "window_fixture.h"

using namespace fixture;

namespace {
// The indicators, relay 1 first: 1 lime, 0 red, ? neither.
QByteArray lamps(const MainWindow& form)
{
    QByteArray out;
    for (int relay = 1; relay <= 8; ++relay)
        out += form.indicator(relay)->color() == Colors::Lime ? '1' : form.indicator(relay)->color() == Colors::Red ? '0' : '?';
    return out;
}
// The list dropped down, then left with Escape.
void dropDown(MainWindow& form)
{
    form.ComboBox1->showPopup();
    QTest::keyClick(form.ComboBox1->view(), Qt::Key_Escape);
}
}  // namespace

class WindowEmulatedTest : public QObject {
    Q_OBJECT
    safety::MonitoredBus bus_;
    EmulatedFtdiBus* bus() const { return bus_.get(); }

private slots:
    void init()
    {
        bus_.start();
        QVERIFY(emulated_ftdi_add_board(bus(), "KW-RELAY-0001") == 0 && emulated_ftdi_add_board(bus(), "KW-RELAY-0002") == 1);
    }
    void cleanup() { bus_.finish(); }

    // Both boards open in bit-bang mode, and the window shows the first
    // board's pins without writing. The manual buttons, ALL ON/OFF and a
    // program on the real 1 ms timer drive the picked board's pins and never
    // the other's. Closing the window hands the first board back to its
    // kernel driver; the library lets go of the rest; relays keep their state.
    void pickSwitchRunAndClose()
    {
        const int a = emulated_ftdi_index_of_serial("KW-RELAY-0001") == 0 ? 0 : 1, b = 1 - a;  // list entries 0 and 1
        WorkDir work;
        auto library = std::make_unique<FtdiLibrary>();
        auto form = std::make_unique<MainWindow>(*library);
        WindowSession& s = form->session();
        s.pause = [](int) {};
        for (const int board : {a, b})
            QVERIFY(emulated_ftdi_claim_count(bus(), board) == 1 && emulated_ftdi_bit_mode(bus(), board) == 0x01);
        QCOMPARE(std::pair(lamps(*form), bus_.written(a)), std::pair(bus_.pins(a), Bytes{}));
        click(form->Button9);
        pick(*form, 1);
        QCOMPARE(lamps(*form), bus_.pins(b));
        pick(*form, 0);
        QCOMPARE(lamps(*form), QByteArray("11111111"));
        click(form->manualButton(8));
        click(form->Button10);
        QCOMPARE(bus_.written(a), (Bytes{0xFF, 0x7F, 0x00}));

        s.program.replaceAll({"10000001-3", "01100000-0", "00011110-2"});
        emulated_ftdi_clear_written(bus(), a);
        click(form->Button34);
        QVERIFY(QTest::qWaitFor([&] { return !s.runActive(); }, 5000));
        QCOMPARE(std::tuple(bus_.written(a), lamps(*form), bus_.written(b), form->errorsReported()), std::tuple(Bytes{0x81, 0x06, 0x78}, bus_.pins(a), Bytes{}, 0));

        pick(*form, 1);
        click(form->Button9);
        form->close();
        QVERIFY(emulated_ftdi_reattach_count(bus(), a) == 1 && emulated_ftdi_claimed(bus(), b));
        form.reset();
        library.reset();
        QCOMPARE(emulated_ftdi_reattach_count(bus(), b), 1u);
        QCOMPARE(bus_.pins(b), QByteArray("11111111"));
    }

    // fwd and rev (relays 7 and 8) interlocked, dead time 300 ms: a program
    // that changes over through an all-off row of no length leaves rev's
    // make pending until fwd has been off for the dead time; Stop does not
    // cancel it. A click meanwhile waits in its handler for the make, so
    // that what it shows afterwards is what the board has.
    void deadTimeAcrossRows()
    {
        WorkDir work;
        writeFile("boards.conf", "[board a]\nserial = KW-RELAY-0001\ninterlock = 7 8\ndead_time_ms = 300\n"
                                 "[board b]\nserial = KW-RELAY-0002\ninterlock = 7 8\ndead_time_ms = 300\n");
        bus_.monitor->useBoards(work.file("boards.conf"));
        const int a = emulated_ftdi_index_of_serial("KW-RELAY-0001") == 0 ? 0 : 1;  // list entry 0
        FtdiLibrary library;
        MainWindow form(library, nullptr, work.file("boards.conf"));
        WindowSession& s = form.session();
        s.program.replaceAll({"00000010-100", "00000000-0", "00000001-100"});
        // Where the run stands, for a wait that ran out (under load the rows take longer).
        const auto where = [&] { return QString("row %1, %2, pins %3").arg(s.currentRow()).arg(s.runActive() ? "running" : "stopped").arg(QString(bus_.pins(a))).toUtf8(); };
        for (const QByteArray& expected : {QByteArray("00000001"), QByteArray("10000001")}) {  // Stop, then a click on relay 1
            click(form.Button34);
            QVERIFY2(QTest::qWaitFor([&] { return s.currentRow() == 2; }, 20000), where().constData());
            QCOMPARE(bus_.pins(a), QByteArray("00000000"));
            click(expected[0] == '0' ? form.Button34 : form.manualButton(1));
            if (expected[0] == '1')
                QCOMPARE(std::tuple(bus_.pins(a), lamps(form), s.program.text(2).left(8), form.stepBar(8)->y(), form.manualButton(8)->text()),
                         std::tuple(expected, expected, expected, Looks::barTop(true), labelText(s.labels.turnOff(8))));
            QVERIFY2(QTest::qWaitFor([&] { return !s.runActive() && bus_.pins(a) == expected; }, 20000), where().constData());
        }
        QCOMPARE(form.errorsReported(), 0);
    }

    // The board picked is followed, not its place in the list: pulled out
    // during a program, or pulled out with another plugged in and the list
    // dropped down and left, it is written to no more, nor is any other
    // board; the strip names it and the program counts on. A board that
    // kestrune-cli holds is named with the program and its pid. A pick
    // brings a board back.
    void boardsComeAndGo_data()
    {
        columns<QString>({"status"});  // a regular expression
        QTest::newRow("pulled out") << "^board KW-RELAY-0001 \\(port 1-1\\) failed: .+; pick a board$";
        QTest::newRow("replaced") << "^Board not found ! board KW-RELAY-0001 \\(port 1-1\\) is gone: pick a board$";
        QTest::newRow("held") << "^Board not found or already opened! \\(board KW-RELAY-0002 \\(port 1-2\\) is open in kestrune-cli \\(pid PID\\)\\)$";
    }
    void boardsComeAndGo()
    {
        const QString event = QTest::currentDataTag();
        WorkDir work;
        writeFile("hold.txt", "10000000-9999\r\n");
        QProcess holder;
        if (event == "held") {
            holder.start(KESTRUNE_CLI, {"play", "hold.txt", "--repeat", "--serial", "KW-RELAY-0002"});
            QVERIFY(holder.waitForReadyRead(10000));
        }
        FtdiLibrary library;
        MainWindow form(library);
        WindowSession& s = form.session();
        s.pause = [](int) {};
        const auto pickSerial = [&](const char* serial) {
            dropDown(form);
            for (int i = 0; i < s.boardEntries.size(); ++i)
                if (s.boardEntries[i].device.serial == serial)
                    pick(form, i);
        };
        pickSerial(event == "held" ? "KW-RELAY-0002" : "KW-RELAY-0001");
        s.program.replaceAll({"10000000-5", "01000000-5"});
        click(form.CheckBox1);
        click(form.Button34);
        QTest::qWait(30);
        emulated_ftdi_clear_written(bus(), 1);
        if (event != "held")
            emulated_ftdi_pull_out(bus(), 0);
        if (event == "replaced") {
            QCOMPARE(emulated_ftdi_add_board(bus(), "KW-RELAY-0003"), 2);
            dropDown(form);
        }
        QSignalSpy ticks(form.tickTimer, &TickTimer::timeout);
        QTRY_VERIFY_WITH_TIMEOUT(s.runActive() && ticks.count() > 0 && form.Panel27->color() == Colors::Red, 10000);
        QVERIFY2(QRegularExpression(fetch<QString>("status").replace("PID", QString::number(holder.processId()))).match(form.Panel27->text()).hasMatch(), qPrintable(form.Panel27->text()));
        QCOMPARE(std::pair(bus_.written(event == "held" ? 0 : 1), event == "replaced" ? bus_.written(2) : Bytes{}), std::pair(Bytes{}, Bytes{}));
        click(form.Button34);
        holder.terminate();
        QVERIFY(event != "held" || (holder.waitForFinished() && QTest::qWaitFor([&] { return !emulated_ftdi_claimed(bus(), 1); })));
        pickSerial("KW-RELAY-0002");
        emulated_ftdi_clear_written(bus(), 1);
        click(form.Button9);
        QCOMPARE(std::pair(form.Panel27->text(), bus_.written(1)), std::pair(QStringLiteral("Board found !"), Bytes{0xFF}));
    }

    // Under a boards.conf that is refused the boards are listed and none is
    // opened (no bit-bang mode, no byte): the strip says the file was
    // refused, on red, and the lamps stay unlit; the box names the file and
    // why. A device two sections match is the one board not opened; the
    // strip names both sections when it is picked (board 1 is active-low
    // under these files). So is a board whose serial port another program
    // has locked: neither claimed nor detached from its driver, the lock's
    // process named.
    void boardsNotOpened_data()
    {
        // how: see placeBoardsConf ("shut" as an ordinary user); "lock": a third board,
        // KW-BUSY, whose port this process has locked; refused: the one board not opened
        // ("": none is opened), and strip: what the strip says when it is picked
        columns<QByteArray, QString, QString, QString, QString>({"conf", "how", "box", "refused", "strip"});
        const QByteArray low = "[board low]\nserial = KW-RELAY-0001\ninvert = yes\nrelay.7 = fwd\nrelay.8 = rev\n";
        const auto row = [](const char* name, QByteArray conf, QString how, QString box, QString refused = {}, QString strip = {}) { QTest::newRow(name) << conf << how << box << refused << strip; };
        row("in a folder that cannot be searched", low, "shut", "cannot read FILE: Permission denied");
        row("a link to nothing", low, "link", "cannot read FILE: FILE is a symbolic link to nothing (No such file or directory)");
        const QString twice = "FILE: board KW-RELAY-0001 (port 1-1) is matched by [board a] (line 1) and [board b] (line 3); a device may match one section only";
        row("two sections, one device", "[board a]\nserial = KW-RELAY-0001\n[board b]\nport = 1-1\ninterlock = 7 8\n", "", twice, "KW-RELAY-0001", twice);
        row("a relay written 01", low + "pulse_ms.1 = 2000\npulse_ms.01 = 5\n", "", "FILE:7: pulse_ms.01: a relay is written as one digit, pulse_ms.1 to pulse_ms.8");
        row("a relay twice in a group", low + "interlock = fwd 7\n", "", "FILE:6: the interlock group \"fwd 7\" names relay 7 twice");
        row("serial port locked", {}, "lock", "", "KW-BUSY", "DEV/ttyUSB3 is locked by process PID");
    }
    void boardsNotOpened()
    {
        const QString how = fetch<QString>("how"), refused = fetch<QString>("refused");
        if (how == "shut")
            AS_ORDINARY_USER();
        WorkDir work;
        const QString file = work.file("etc/boards.conf");
        const auto reopen = qScopeGuard([] { QFile::setPermissions("etc", QFile::Permissions(0x7700)); });
        placeBoardsConf(file, fetch<QByteArray>("conf"), how);
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        const EmulatedFtdiBoard busy{"KW-BUSY", nullptr, nullptr, nullptr, "ttyUSB3"};
        if (how == "lock") {
            QVERIFY(emulated_ftdi_add_board_with(bus(), &busy) == 2 && QDir().mkpath("lock") && QDir().mkpath("proc/" + pid));
            writeFile("lock/LCK..ttyUSB3", pid + '\n');
        }
        bus_.monitor->setRules(0, {{}, 0, how != "lock"});
        FtdiLibrary library(how == "lock" ? SystemRoots{emulated_ftdi_sys_dir(bus()), work.file("proc"), work.file("dev"), work.file("lock")} : SystemRoots{});
        MainWindow form(library, nullptr, file);
        const QString box = fetch<QString>("box").replace("FILE", file);
        const QString strip = "Board not found or already opened! (" + fetch<QString>("strip").replace("FILE", file).replace("DEV", work.file("dev")).replace("PID", pid) + ')';
        QCOMPARE(takeErrorBox(), box);
        const int boards = how == "lock" ? 3 : 2;
        for (int index = boards; index-- > 0;) {
            pick(form, index);
            const QString serial = form.session().boardEntries[index].device.serial;
            const int board = QStringList{"KW-RELAY-0001", "KW-RELAY-0002", "KW-BUSY"}.indexOf(serial);
            const bool open = !refused.isEmpty() && serial != refused;
            const QString shown = open ? "Board found !" : refused.isEmpty() ? "boards.conf was refused" : strip;
            const QByteArray unlit = refused.isEmpty() ? "????????" : lamps(form);  // a device refused alone: as other boards not opened
            QCOMPARE(std::tuple(form.ComboBox1->count(), form.Panel27->text(), form.Panel27->color(), lamps(form)),
                     std::tuple(boards, shown, open ? Colors::Lime : Colors::Red, open ? bus_.pins(board) : unlit));
            QVERIFY(emulated_ftdi_claim_count(bus(), board) == unsigned(open) && emulated_ftdi_bit_mode(bus(), board) == (open ? 0x01 : 0) && bus_.written(board).empty());
        }
        QVERIFY(how != "lock" || emulated_ftdi_driver_bound(bus(), 2));
    }
};

QTEST_MAIN(WindowEmulatedTest)
#include "test_window_emulated.moc"
