// The label table's file and the entry into the label dialog.
#include "app/color_panel.h"
#include "app/form1.h"
#include "labels/form2.h"
#include "labels/limited_edit.h"

#include <QPushButton>

#include <cstdio>

void TForm1::LoadLabels()
{
    LabelTable loaded;
    if (!LabelFile::load(QString::fromLatin1(LabelFile::FileName), loaded))
        loaded = LabelTable();
    labels = loaded;
    // Each caption follows its indicator: red shows the turn-on label.
    for (int relay = 1; relay <= 8; ++relay)
        setCaption(relay, indicator(relay)->color() != Colors::Red);
    for (int relay = 1; relay <= 8; ++relay)
        stepBar(relay)->setText(manualButton(relay)->text());
}

void TForm1::SaveLabels()
{
    QString error;
    if (!LabelFile::save(QString::fromLatin1(LabelFile::FileName), labels, &error))
        std::fprintf(stderr, "kestrune: labels not saved: %s\n", qPrintable(error));
}

void TForm1::RelayButtonMouseDown(int editedLabelIndex, Qt::MouseButton button)
{
    EditedLabelIndex = editedLabelIndex;
    const int relay = (editedLabelIndex - 1) % 8 + 1;
    TForm2* dialog = form2_.get();
    if (dialog) {
        dialog->Edit1->setText(labelText(labels.turnOn(relay)));
        dialog->Edit2->setText(labelText(labels.turnOff(relay)));
        if (button == Qt::RightButton) {
            dialog->show();
            dialog->raise();
            dialog->activateWindow();
        }
    }
    SaveLabels();
}
