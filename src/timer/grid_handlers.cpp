// The program list: the rows of StringGrid4, one of which is always
// current. Relay operations write into the current row; making a row
// current applies it to the board and to every view.
#include "app/color_panel.h"
#include "app/form1.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/range_error.h"
#include "timer/up_down.h"

#include <QLineEdit>
#include <QPushButton>

int TForm1::currentRow() const
{
    return std::clamp(StringGrid4->currentRow(), 0, programModel->count() - 1);
}

char TForm1::rowLineChar(int row, int position) const
{
    const QByteArray& text = programModel->text(row);
    const qsizetype lineLength = text.size() + 2;  // the row and its CR LF
    if (position < 1 || position > lineLength)
        throw RangeError(QStringLiteral("Range error in program row %1 (\"%2\"): it has no "
                                        "character %3; the row holds %4 character(s).")
                             .arg(row + 1)
                             .arg(QString::fromLatin1(text))
                             .arg(position)
                             .arg(text.size()));
    if (position <= text.size())
        return text[position - 1];
    return position == text.size() + 1 ? '\r' : '\n';
}

void TForm1::UpdateCurrentRowFromBoard()
{
    ReadRelayState();
    QByteArray pattern(8, '0');
    for (int relay = 1; relay <= 8; ++relay)
        if ((RelayState >> (relay - 1)) & 1)
            pattern[relay - 1] = '1';
    programModel->setText(currentRow(), pattern);
}

void TForm1::StringGrid4Click()
{
    const int row = currentRow();
    for (int relay = 1; relay <= 8; ++relay) {
        QPushButton* bar = stepBar(relay);
        bar->move(bar->x(), rowLineChar(row, relay) == '1' ? BarRaised : BarLowered);
    }
    for (int relay = 1; relay <= 8; ++relay) {
        const auto bit = static_cast<std::uint8_t>(1u << (relay - 1));
        if (rowLineChar(row, relay) == '0')
            RelayState &= static_cast<std::uint8_t>(~bit);
        else
            RelayState |= bit;
    }
    WriteRelayState();
    for (int relay = 1; relay <= 8; ++relay)
        indicator(relay)->setColor(rowLineChar(row, relay) == '0' ? Colors::Red : Colors::Lime);
    for (int relay = 1; relay <= 8; ++relay)
        setCaption(relay, rowLineChar(row, relay) != '0');

    // Rows of another length carry no duration that could be read safely;
    // the timer value then stays as it is.
    const QByteArray text = programModel->text(row);
    if (text.size() >= 10 && text.size() <= 13)
        Edit9->setText(QString::fromLatin1(text.mid(9)));
}

void TForm1::makeRowCurrent(int row)
{
    if (row == currentRow())
        return;
    StringGrid4->setCurrentRow(row);
    StringGrid4Click();
}

void TForm1::onRowPicked(int previousRow)
{
    // A row that the run leaves gets back the duration its step began with,
    // and the picked row's step starts from its own duration.
    if (runActive())
        restoreStepDuration(previousRow);
    StringGrid4Click();
    if (runActive())
        SavedStepDuration = UpDown1->position();
}

QByteArray TForm1::withDuration(const QByteArray& rowText, int duration)
{
    if (rowText.size() < 10 || rowText[8] != '-')
        return rowText;
    return rowText.left(9) + QByteArray::number(duration);
}

void TForm1::restartStepFromCurrentRow()
{
    const QByteArray text = programModel->text(currentRow());
    if (text.size() >= 10 && text.size() <= 13 && text[8] == '-')
        Edit9->setText(QString::fromLatin1(text.mid(9)));
    SavedStepDuration = UpDown1->position();
}

void TForm1::restoreStepDuration(int row)
{
    if (row < 0 || row >= programModel->count())
        return;
    programModel->setText(row, withDuration(programModel->text(row), SavedStepDuration));
}

void TForm1::Button23Click()
{
    if (runActive())
        restoreStepDuration(currentRow());
    const QByteArray copy = programModel->text(currentRow());
    programModel->setCount(programModel->count() + 1);
    programModel->setText(programModel->count() - 1, copy);
    makeRowCurrent(programModel->count() - 1);
    if (runActive())
        SavedStepDuration = UpDown1->position();
}

void TForm1::Button21Click()
{
    const int count = programModel->count();
    const bool removesCurrent = count > 1 && currentRow() == count - 1;
    programModel->setCount(count - 1);
    // The run goes on in the new last row, counting from its own duration.
    if (removesCurrent && runActive())
        restartStepFromCurrentRow();
}

void TForm1::Button22Click()
{
    programModel->setCount(2);
    programModel->setText(0, "00000000-0");
    programModel->setText(1, "00000000-0");
    makeRowCurrent(1);
    makeRowCurrent(0);
    programModel->setCount(1);
    if (runActive())
        SavedStepDuration = UpDown1->position();
}
