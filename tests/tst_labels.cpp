// The label table and its file labels.dat: layout, loading of damaged
// files, and saves that cannot or must not replace the file.
#include "window_fixture.h"

#include <QFileInfo>
#include <QScopeGuard>

using namespace fixture;

namespace {
const QString FileName = QStringLiteral("labels.dat");

// A 320-byte image built by hand: each record the label, a NUL, and `fill`
// up to the record's end.
QByteArray imageOf(const QList<QByteArray>& labels, char fill = '\0')
{
    QByteArray out;
    for (const QByteArray& label : labels)
        out += label + '\0' + QByteArray(19 - label.size(), fill);
    return out;
}

QList<QByteArray> slotsOf(const LabelTable& table)
{
    QList<QByteArray> out;
    for (int s = 0; s < LabelTable::SlotCount; ++s)
        out << table.slot(s);
    return out;
}
const QList<QByteArray> Defaults = slotsOf(LabelTable());

// Labels "L00" ... "L15"; the first `count` of them, defaults after.
QList<QByteArray> numbered(int count = 16)
{
    QList<QByteArray> out = Defaults;
    for (int s = 0; s < count; ++s)
        out[s] = QByteArray("L") + QByteArray::number(s).rightJustified(2, '0');
    return out;
}
}  // namespace

class LabelFileTest : public WindowTest {
    Q_OBJECT
private slots:
    // Without a file the defaults show and start-up writes nothing; the
    // first press on a relay button saves them. Each record is the label,
    // then a NUL; 320 bytes in slot order. A label keeps at most 19 bytes
    // and ends at its first NUL.
    void defaultsAndRoundTrip()
    {
        {
            Rig rig(1);
            QCOMPARE(slotsOf(rig.form->labels), Defaults);
            QVERIFY(!QFile::exists(FileName));
            click(rig.form->stepBar(1), Qt::MiddleButton);
            QCOMPARE(readFile(FileName), imageOf(Defaults));
        }
        QList<QByteArray> labels = Defaults;
        labels[0] = "";
        labels[3] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        labels[4] = QByteArray("ab\0cd", 5);
        labels[9] = "caf\xE9";
        LabelTable table;
        for (int s = 0; s < 16; ++s)
            table.setSlot(s, labels[s]);
        labels[3] = "ABCDEFGHIJKLMNOPQRS";
        labels[4] = "ab";
        QVERIFY(LabelFile::save(FileName, table));
        QCOMPARE(readFile(FileName), imageOf(labels));
        Rig rig(1);
        QCOMPARE(slotsOf(rig.form->labels), labels);
        QCOMPARE(rig.form->manualButton(2)->text(), QStringLiteral("caf\u00e9"));
    }

    // Files that are not 320 clean bytes: a record without its NUL gives its
    // first 19 bytes, bytes after a NUL and beyond the 320th mean nothing, a
    // record cut short loads only if its NUL made it into the file, and the
    // slots not covered keep their defaults. Loading leaves the file alone.
    void loading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray full = imageOf(numbered());
        QByteArray dirty = imageOf(numbered(), 'z');
        dirty.replace(60, 20, "ABCDEFGHIJKLMNOPQRST");
        dirty.replace(80, 20, QByteArray("Hi\0junk\0more", 12) + QByteArray(8, 'q'));
        QList<QByteArray> dirtyLabels = numbered();
        dirtyLabels[3] = "ABCDEFGHIJKLMNOPQRS";
        dirtyLabels[4] = "Hi";
        QTest::newRow("record without NUL, junk after NUL") << dirty << dirtyLabels;
        QTest::newRow("long") << full + QByteArray(80, 'Q') << numbered();
        QTest::newRow("empty") << QByteArray() << Defaults;
        QTest::newRow("NUL of record 5 inside") << full.left(104) << numbered(6);
        QTest::newRow("NUL of record 5 outside") << full.left(103) << numbered(5);
        QTest::newRow("319 bytes") << full.left(319) << numbered();
    }
    void loading()
    {
        QFETCH(QByteArray, content);
        QFETCH(QList<QByteArray>, expected);
        writeFile(FileName, content);
        LabelTable loaded;
        loaded.setSlot(15, "stale");
        QVERIFY(LabelFile::load(FileName, loaded));
        QCOMPARE(slotsOf(loaded), expected);
        QCOMPARE(readFile(FileName), content);
        // The window shows them, and its next save writes the whole table.
        Rig rig(1);
        QCOMPARE(slotsOf(rig.form->labels), expected);
        QCOMPARE(rig.form->manualButton(4)->text(), QString::fromLatin1(expected[11]));
        rig.form->close();
        QCOMPARE(readFile(FileName), imageOf(expected));
    }

    // A read-only labels.dat is not loaded (the defaults are shown) and is
    // never replaced; each skipped save is reported on stderr.
    void readOnlyFileLeftAlone()
    {
        AS_ORDINARY_USER();
        const QByteArray mine = imageOf(numbered());
        writeFile(FileName, mine);
        QVERIFY(QFile::setPermissions(FileName, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        const auto permissions = QFileInfo(FileName).permissions();
        StderrCapture err;
        {
            Rig rig(1);
            QCOMPARE(slotsOf(rig.form->labels), Defaults);
            click(rig.form->manualButton(3), Qt::RightButton);
            QCOMPARE(readFile(FileName), mine);
            rig.form->close();
        }
        QVERIFY2(err.text().contains("labels not saved"), "the skipped save was not reported");
        QCOMPARE(readFile(FileName), mine);
        QCOMPARE(QFileInfo(FileName).permissions(), permissions);
        QCOMPARE(work().files(), QStringList{FileName});
    }

    // In a folder where no new file can be made, the writable labels.dat is
    // written in place and nothing else is left behind.
    void readOnlyFolderSavesInPlace()
    {
        AS_ORDINARY_USER();
        const QByteArray mine = imageOf(numbered());
        writeFile(FileName, mine);
        const QString dir = QDir::currentPath();
        QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        });
        StderrCapture err;
        {
            Rig rig(1);
            QCOMPARE(slotsOf(rig.form->labels), numbered());  // the file itself is writable
            rig.form->labels.setSlot(0, "changed");
            click(rig.form->manualButton(1), Qt::MiddleButton);
            rig.form->close();
            QCOMPARE(rig.form->errorsReported(), 0);
        }
        QVERIFY2(!err.text().contains("labels not saved"), "the save failed");
        QCOMPARE(readFile(FileName).left(8), QByteArray("changed\0", 8));
        QCOMPARE(work().files(), QStringList{FileName});
    }

    // The 320 bytes sit in the write buffer until the commit: a short last
    // write on a full disk must fail the save, not replace the file.
    void fullDiskKeepsOldFile()
    {
        const QByteArray mine = imageOf(numbered());
        writeFile(FileName, mine);
        QString error;
        {
            FileSizeLimit full(16);
            QVERIFY(!LabelFile::save(FileName, LabelTable(), &error));
        }
        QVERIFY(error.contains(FileName));
        QCOMPARE(readFile(FileName), mine);
        QCOMPARE(work().files(), QStringList{FileName});
    }
};

QTEST_MAIN(LabelFileTest)
#include "tst_labels.moc"
