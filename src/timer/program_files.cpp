// Saving the program list to a text file and opening one back.
#include "app/form1.h"
#include "timer/program_file.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/up_down.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>

void TForm1::Button20Click()
{
    SaveDialog1->selectFile(QStringLiteral("New"));
    if (SaveDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList chosen = SaveDialog1->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    const QString path = ProgramFile::savePath(chosen.first());

    if (QFileInfo::exists(path)) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Save File"),
            QStringLiteral("\"%1\" already exists.\nDo you want to replace it?")
                .arg(QDir::toNativeSeparators(path)),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }

    std::vector<QByteArray> rows = programModel->rows();
    // While a step is being counted its row shows the remaining count; the
    // file keeps the step's own duration.
    if (runActive()) {
        auto& counted = rows[static_cast<std::size_t>(currentRow())];
        counted = withDuration(counted, SavedStepDuration);
    }
    QString error;
    if (!ProgramFile::write(path, rows, &error))
        QMessageBox::warning(this, QStringLiteral("Save File"), error);
}

void TForm1::Button19Click()
{
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList chosen = OpenDialog1->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;

    // The list is replaced only once the file has been read whole.
    ProgramFile::ReadResult file = ProgramFile::read(chosen.first());
    if (!file.ok) {
        QMessageBox::warning(this, QStringLiteral("Open File"), file.error);
        return;
    }
    programModel->replaceAll(std::move(file.rows));
    StringGrid4->setCurrentRow(0);

    // The run goes on in row 0, counting from its own duration.
    if (runActive())
        restartStepFromCurrentRow();
}
