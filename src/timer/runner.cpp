// The program runner: plays the program list row by row, one count of the
// timer value per tick of Timer1.
#include "app/form1.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/range_error.h"
#include "timer/tick_timer.h"
#include "timer/up_down.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

bool TForm1::runActive() const
{
    return Button34->text() == QLatin1String("Stop");
}

void TForm1::UpdateCurrentRowDuration()
{
    const int row = currentRow();
    QByteArray text(8, '0');
    for (int relay = 1; relay <= 8; ++relay)
        text[relay - 1] = rowLineChar(row, relay) == '0' ? '0' : '1';
    text.append('-');

    const int p = UpDown1->position();
    if (p == 0) {
        text.append('0');
    } else {
        const int digits = p <= 9 ? 1 : p <= 99 ? 2 : p <= 999 ? 3 : 4;
        const QString shown = Edit9->text();
        if (shown.size() < digits)
            throw RangeError(QStringLiteral("Range error in the timer value \"%1\" of program "
                                            "row %2: it has no character %3.")
                                 .arg(shown)
                                 .arg(row + 1)
                                 .arg(shown.size() + 1));
        text.append(shown.left(digits).toLatin1());
    }
    programModel->setText(row, text);
}

void TForm1::ProgramTick()
{
    const int p = UpDown1->position();
    if (p >= 2) {
        UpDown1->setPosition(p - 1);
        return;
    }
    // The step is over: its row gets back the duration it began with.
    Edit9->setText(QString::number(SavedStepDuration));
    const int next = currentRow() + 1;
    if (next < programModel->count()) {
        makeRowCurrent(next);
        SavedStepDuration = UpDown1->position();
    } else if (CheckBox1->isChecked()) {
        makeRowCurrent(0);
        SavedStepDuration = UpDown1->position();
    } else {
        Timer1->setEnabled(false);
        Button34->setText(QStringLiteral("Start"));
    }
}

void TForm1::Timer1Timer()
{
    ProgramTick();
}

void TForm1::Button34Click()
{
    if (Button34->text() == QLatin1String("Start")) {
        Timer1->setEnabled(true);
        Button34->setText(QStringLiteral("Stop"));
        makeRowCurrent(0);
        SavedStepDuration = UpDown1->position();
    } else {
        Timer1->setEnabled(false);
        UpDown1->setPosition(static_cast<std::int16_t>(SavedStepDuration));
        Button34->setText(QStringLiteral("Start"));
        Button35->setText(QStringLiteral("Pause"));
    }
}

void TForm1::Button35Click()
{
    if (Button34->text() != QLatin1String("Stop"))
        return;
    if (Button35->text() == QLatin1String("Pause")) {
        Button35->setText(QStringLiteral("Resume"));
        Timer1->setEnabled(false);
    } else {
        Button35->setText(QStringLiteral("Pause"));
        Timer1->setEnabled(true);
    }
}

void TForm1::TrackBar1Change()
{
    Timer1->setInterval(TrackBar1->value());
    Label5->setText(QString::number(TrackBar1->value()));
    Label5->adjustSize();
}

void TForm1::UpDown1Click()
{
    UpdateCurrentRowDuration();
}

void TForm1::Edit9Change()
{
    UpdateCurrentRowDuration();
}
