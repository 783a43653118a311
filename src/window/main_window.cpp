#include "window/main_window.h"
#include "window/main_window_controls.h"

#include "window/widgets/color_panel.h"
#include "window/widgets/board_combo_box.h"
#include "window/label_dialog.h"
#include "window/widgets/performance_graph.h"
#include "window/widgets/program_grid.h"
#include "window/widgets/program_model.h"
#include "engine/program/program_file.h"
#include "window/widgets/up_down.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include <type_traits>

using namespace MainWindowLayout;

MainWindow::MainWindow(UsbLibrary& library, QWidget* parent, const QString& boardsFile)
    : QWidget(parent), session_(std::make_unique<WindowSession>(library))
{
    session_->boardsFile = boardsFile;
    buildWindow();
    connectHandlers();
    mirror(~0);
    handle([this] { session_->startUp(); });
    labelDialog_ = std::make_unique<LabelDialog>(*session_);
}

MainWindow::~MainWindow() = default;


// ---------------------------------------------------------------- wiring

void MainWindow::connectHandlers()
{
    WindowSession* w = session_.get();
    connect(w, &WindowSession::changed, this, &MainWindow::mirror);
    connect(w, &WindowSession::errorRaised, this, &MainWindow::reportError);
    connect(w, &WindowSession::labelDialogRequested, this, [this] {
        labelDialog_->show();
        labelDialog_->raise();
        labelDialog_->activateWindow();
    });
    connect(&w->program, &ProgramList::currentChanged, StringGrid4, &ProgramGrid::setCurrentRow);
    connect(&w->program, &ProgramList::resized, this,
            [this] { StringGrid4->setCurrentRow(session_->program.current()); });

    connect(ComboBox1, &BoardComboBox::aboutToDropDown, this,
            [this, w] { handle([w] { w->rediscoverBoards(); }); });
    connect(ComboBox1, qOverload<int>(&QComboBox::activated), this,
            [this, w] { handle([this, w] { w->pickBoard(ComboBox1->currentIndex()); }); });

    for (int relay = 1; relay <= RelayCount; ++relay) {
        connect(manualButton(relay), &QPushButton::clicked, this,
                [this, w, relay] { handle([w, relay] { w->toggleRelay(relay); }); });
        connect(stepBar(relay), &QPushButton::clicked, this,
                [this, w, relay] { handle([w, relay] { w->toggleStepBar(relay); }); });
    }
    auto onClick = [this](QAbstractButton* button, void (WindowSession::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { handle([this, handler] { (session_.get()->*handler)(); }); });
    };
    onClick(Button9, &WindowSession::allOn);
    onClick(Button10, &WindowSession::allOff);
    onClick(Button23, &WindowSession::addRow);
    onClick(Button21, &WindowSession::clearLastRow);
    onClick(Button22, &WindowSession::clearAllRows);
    onClick(Button34, &WindowSession::startOrStop);
    onClick(Button35, &WindowSession::pauseOrResume);
    connect(Button19, &QPushButton::clicked, this, [this] { handle([this] { openFile(); }); });
    connect(Button20, &QPushButton::clicked, this, [this] { handle([this] { saveFile(); }); });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this, w](bool on) { handle([w, on] { w->setRepeat(on); }); });

    connect(StringGrid4, &ProgramGrid::rowPicked, this,
            [this, w](int row) { handle([w, row] { w->pickRow(row); }); });
    connect(tickTimer, &TickTimer::timeout, this, [this, w] { handle([w] { w->tick(); }); });
    connect(TrackBar1, &QSlider::valueChanged, this,
            [this, w](int ms) { handle([w, ms] { w->setResolution(ms); }); });
    connect(Edit9, &QLineEdit::textChanged, this,
            [this, w](const QString& text) { handle([w, text] { w->editTimerValue(text); }); });
    connect(UpDown1, &UpDown::stepped, this,
            [this, w](int delta) { handle([w, delta] { w->stepTimerValue(delta); }); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Without the focus a wheel turn, meant to scroll past the track bar,
    // would silently change the tick of a running program; it goes on to
    // the page instead.
    if (watched == TrackBar1 && event->type() == QEvent::Wheel && !TrackBar1->hasFocus()) {
        event->ignore();
        return true;
    }
    // The mouse-down handlers of the sixteen relay buttons run on the press,
    // before the button's click. From the keyboard, the context-menu key or
    // Shift+F10 on a relay button asks for its labels as a right press does.
    const QVariant index = watched->property(EditedIndexProperty);
    if (!index.isValid())
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        const bool right = static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
        handle([this, &index, right] { session_->relayButtonPressed(index.toInt(), right); });
    } else if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            handle([this, &index] { session_->relayButtonPressed(index.toInt(), true); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- mirroring

void MainWindow::mirror(int aspects)
{
    const WindowSession& w = *session_;
    auto blocked = [](QObject* control, auto&& apply) {
        const QSignalBlocker blocker(control);
        apply();
    };
    if (aspects & WindowSession::Status) {
        Panel27->setColor(Looks::statusColor(w.boardFound));
        Panel27->setText(w.statusText);
        Panel27->setToolTip(w.statusText);  // whole, where the strip is too narrow
    }
    if (aspects & WindowSession::BoardList) {
        blocked(ComboBox1, [&] {
            bool same = ComboBox1->count() == w.boardEntries.size();
            for (int i = 0; same && i < ComboBox1->count(); ++i)
                same = ComboBox1->itemText(i) == w.boardEntries[i].text;
            if (!same) {
                ComboBox1->clear();
                for (const auto& entry : w.boardEntries) {
                    ComboBox1->addItem(entry.text);
                    ComboBox1->setItemData(ComboBox1->count() - 1, entry.details, Qt::ToolTipRole);
                }
            }
            ComboBox1->setCurrentIndex(w.boardIndex);
            if (ComboBox1->currentText() != w.boardText)
                ComboBox1->setEditText(w.boardText);
        });
    }
    for (int relay = 1; relay <= RelayCount; ++relay) {
        const auto r = idx(relay);
        if (aspects & WindowSession::Captions)
            manualButton(relay)->setText(w.captions[r]);
        if (aspects & WindowSession::BarCaptions)
            stepBar(relay)->setText(w.barCaptions[r]);
        if (aspects & WindowSession::Bars)
            stepBar(relay)->move(stepBar(relay)->x(), Looks::barTop(w.barsRaised[r]));
        if (aspects & WindowSession::Indicators)
            indicator(relay)->setColor(Looks::lampColor(w.indicators[r]));
    }
    if (aspects & WindowSession::TimerValue && Edit9->text() != w.timerValue)
        blocked(Edit9, [&] { Edit9->setText(w.timerValue); });
    if (aspects & WindowSession::RunState) {
        const auto state = w.runner.state();
        Button34->setText(state == ProgramRunner::State::Stopped ? QStringLiteral("Start")
                                                                 : QStringLiteral("Stop"));
        Button35->setText(state == ProgramRunner::State::Paused ? QStringLiteral("Resume")
                                                                : QStringLiteral("Pause"));
    }
    if (aspects & WindowSession::Resolution) {
        blocked(TrackBar1, [&] { TrackBar1->setValue(w.resolution); });
        Label5->setText(w.resolutionText);
        Label5->adjustSize();
    }
    if (aspects & WindowSession::Repeat)
        blocked(CheckBox1, [&] { CheckBox1->setChecked(w.runner.repeat()); });
    if (aspects & WindowSession::LabelEdits && labelDialog_)
        labelDialog_->showTexts(w.labelOnText, w.labelOffText);
}

// ---------------------------------------------------------------- errors

void MainWindow::reportError(const QString& message)
{
    ++errorsReported_;
    lastError_ = message;
    if (errorBoxBusy_) {
        ++errorsWhileBoxOpen_;
        return;
    }
    errorBoxBusy_ = true;
    QTimer::singleShot(0, this, [this, message] { showError(message); });
}

void MainWindow::showError(const QString& message)
{
    QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Kestrune"), message);
    errorBoxBusy_ = false;
    if (errorsWhileBoxOpen_ > 0) {
        qCWarning(lcSession, "%d further error(s) while the error box was open; last: %s", errorsWhileBoxOpen_,
                  qPrintable(lastError_));
        errorsWhileBoxOpen_ = 0;
    }
}

// ---------------------------------------------------------------- program files

void MainWindow::saveFile()
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
    if (const QString error = session_->saveProgram(path); !error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Save File"), error);
}

void MainWindow::openFile()
{
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList chosen = OpenDialog1->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    if (const QString error = session_->openProgram(chosen.first()); !error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Open File"), error);
}

// ---------------------------------------------------------------- shut-down

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!closed_) {
        closed_ = true;
        handle([this] { session_->shutDown(); });
        if (labelDialog_)
            labelDialog_->hide();
    }
    event->accept();
}
