// The window on a real X server (Xvfb): shown, laid out and painted as the
// operator sees it, including the colours of the status strip and the
// indicators after a board is picked.
#include "window_fixture.h"

#include <QScreen>

using namespace fixture;

class RealWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server");
    }

    void showsAndPaintsTheDesignedWindow()
    {
        Rig rig(2);
        MainWindow& f = *rig.form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QCOMPARE(f.size(), QSize(785, 413));

        pick(f, 0);
        QTest::qWait(50);
        const auto at = [&](QWidget* w) { return f.grab().toImage().pixelColor(w->mapTo(&f, w->rect().center() + QPoint(0, 6))); };
        QCOMPARE(at(f.Panel27), QColor(0, 255, 0));  // "Board found !" on lime
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(at(f.indicator(relay)), QColor(255, 0, 0));

        f.TabbedNotebook1->setCurrentIndex(1);
        QTest::qWait(20);
        click(f.Button9);  // ALL ON
        QTest::qWait(50);
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(at(f.indicator(relay)), QColor(0, 255, 0));
        QCOMPARE(rig.writes().back(), 0xFF);

        // The label dialog opens next to the window as a window of its own.
        click(f.manualButton(2), Qt::RightButton);
        QVERIFY(QTest::qWaitForWindowExposed(f.labelDialog()));
        QCOMPARE(f.labelDialog()->windowTitle(), QStringLiteral("Setting"));
        f.labelDialog()->hide();
        f.close();
    }
};

QTEST_MAIN(RealWindowTest)
#include "tst_real_window.moc"
