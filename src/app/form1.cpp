#include "app/form1.h"

#include "app/color_panel.h"
#include "boardlink/board_combo_box.h"
#include "labels/form2.h"
#include "timer/performance_graph.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/program_file.h"
#include "timer/up_down.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
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

#include <cstdio>
#include <type_traits>

namespace {

// How each relay is wired to its controls, and where those stand.
struct RelayWiring {
    const char* manualButton;
    QPoint manualAt;
    const char* indicator;
    QPoint indicatorAt;
    const char* stepBar;
    int barLeft;
};

constexpr int RelayCount = WindowSession::RelayCount;
const RelayWiring Wiring[RelayCount + 1] = {
    {},
    {"Button2", {88, 40}, "Panel10", {0, 56}, "Button18", 16},
    {"Button3", {88, 96}, "Panel9", {0, 120}, "Button17", 96},
    {"Button1", {88, 160}, "Panel8", {0, 184}, "Button16", 176},
    {"Button4", {88, 224}, "Panel7", {0, 248}, "Button15", 256},
    {"Button5", {376, 224}, "Panel6", {736, 248}, "Button14", 336},
    {"Button6", {376, 160}, "Panel5", {736, 184}, "Button13", 416},
    {"Button7", {376, 96}, "Panel4", {736, 120}, "Button12", 496},
    {"Button8", {376, 40}, "Panel3", {736, 56}, "Button11", 576},
};

const char* const EditedIndexProperty = "editedLabelIndex";

template <typename W>
W* place(W* widget, const char* name, int left, int top, int width, int height)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    // Labels size themselves to their caption, whatever the font measures.
    if constexpr (std::is_same_v<W, QLabel>)
        widget->adjustSize();
    return widget;
}

QFont pixelFont(int pixels, bool bold = false)
{
    QFont font;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

}  // namespace

TForm1::TForm1(UsbLibrary& library, QWidget* parent)
    : QWidget(parent), session_(std::make_unique<WindowSession>(library))
{
    buildWindow();
    connectHandlers();
    mirror(~0);
    handle([this] { session_->FormCreate(); });
    form2_ = std::make_unique<TForm2>(*session_);
}

TForm1::~TForm1() = default;

// ---------------------------------------------------------------- layout

void TForm1::buildWindow()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kestrune  ver. 1.3"));
    setWindowIcon(QIcon(QStringLiteral(":/kestrune.png")));
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    setFixedSize(785, 413);
    move(480, 142);

    Label3 = place(new QLabel(QStringLiteral("Right click for changing button label"), this),
                   "Label3", 48, 400, 170, 13);

    TabbedNotebook1 = place(new QTabWidget(this), "TabbedNotebook1", 48, 0, 689, 401);
    // A slightly smaller tab font keeps all three captions clear of the
    // status strip that overlaps the notebook's top edge.
    QFont tabFont = font;
    tabFont.setPointSizeF(7.5);
    TabbedNotebook1->tabBar()->setFont(tabFont);
    TabbedNotebook1->tabBar()->setExpanding(false);
    TabbedNotebook1->tabBar()->setStyleSheet(QStringLiteral(
        "QTabBar::tab { padding: 3px 5px; border: 1px solid #a0a0a0; border-bottom: none;"
        " background: #e4e4e4; margin-right: 1px; border-top-left-radius: 3px;"
        " border-top-right-radius: 3px; }"
        "QTabBar::tab:selected { background: #fafafa; }"));
    const char* pageNames[] = {"Options", "Manual Mode", "Timer Mode"};
    QWidget* pages[3];
    for (int i = 0; i < 3; ++i) {
        pages[i] = new QWidget;
        pages[i]->setObjectName(QString::fromLatin1(pageNames[i]));
        TabbedNotebook1->addTab(pages[i], QString::fromLatin1(pageNames[i]));
    }
    buildOptionsPage(pages[0]);
    buildManualPage(pages[1]);
    buildTimerPage(pages[2]);
    TabbedNotebook1->setCurrentIndex(0);

    // The status strip overlaps the notebook's top edge and stays in front of it.
    Panel27 = place(new ColorPanel(QString(), this), "Panel27", 256, 0, 481, 18);
    Panel27->raise();

    for (int relay = 1; relay <= RelayCount; ++relay) {
        const RelayWiring& w = Wiring[relay];
        indicators_[idx(relay)] =
            place(new ColorPanel(QString::number(relay), this), w.indicator, w.indicatorAt.x(),
                  w.indicatorAt.y(), 49, 25);
    }

    Timer1 = &session_->Timer1;
    Timer1->setObjectName(QStringLiteral("Timer1"));

    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);  // asked by Button20Click
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
}

void TForm1::buildOptionsPage(QWidget* page)
{
    Label6 = place(new QLabel(QStringLiteral("Select Board"), page), "Label6", 264, 128, 61, 13);
    ComboBox1 = place(new BoardComboBox(page), "ComboBox1", 264, 144, 169, 21);
}

void TForm1::buildManualPage(QWidget* page)
{
    for (int relay = 1; relay <= RelayCount; ++relay) {
        const RelayWiring& w = Wiring[relay];
        auto* button = place(new QPushButton(page), w.manualButton, w.manualAt.x(), w.manualAt.y(),
                             209, 33);
        button->setProperty(EditedIndexProperty, relay);
        button->installEventFilter(this);
        manualButtons_[idx(relay)] = button;
    }
    Button9 = place(new QPushButton(QStringLiteral("ALL ON"), page), "Button9", 88, 288, 209, 41);
    Button10 =
        place(new QPushButton(QStringLiteral("ALL OFF"), page), "Button10", 376, 288, 209, 41);
}

void TForm1::buildTimerPage(QWidget* page)
{
    PerformanceGraph1 =
        place(new PerformanceGraph(page), "PerformanceGraph1", 8, 16, 649, 129);

    // Tab order runs from relay 8's bar to relay 1's.
    for (int relay = RelayCount; relay >= 1; --relay) {
        const RelayWiring& w = Wiring[relay];
        auto* bar = place(new QPushButton(page), w.stepBar, w.barLeft, WindowSession::BarLowered, 73, 25);
        bar->setFont(pixelFont(10));
        bar->setProperty(EditedIndexProperty, relay + RelayCount);
        bar->installEventFilter(this);
        stepBars_[idx(relay)] = bar;
    }

    Label11 = place(new QLabel(QStringLiteral("User program"), page), "Label11", 504, 152, 63, 13);
    StringGrid4 = place(new ProgramGrid(page), "StringGrid4", 504, 168, 153, 193);
    StringGrid4->setFont(pixelFont(15, true));
    programModel = new ProgramModel(session_->program, StringGrid4);
    StringGrid4->setModel(programModel);
    StringGrid4->setCurrentRow(0);

    GroupBox1 = place(new QGroupBox(QStringLiteral("File"), page), "GroupBox1", 16, 160, 145, 113);
    Button19 = place(new QPushButton(QStringLiteral("Open File"), page), "Button19", 48, 184, 81, 25);
    Button20 = place(new QPushButton(QStringLiteral("Save File"), page), "Button20", 48, 224, 81, 25);

    GroupBox2 =
        place(new QGroupBox(QStringLiteral("State"), page), "GroupBox2", 176, 160, 153, 113);
    Button21 = place(new QPushButton(QStringLiteral("Clear"), page), "Button21", 200, 208, 113, 25);
    Button23 = place(new QPushButton(QStringLiteral("Add"), page), "Button23", 200, 176, 113, 25);
    Button22 =
        place(new QPushButton(QStringLiteral("Clear all"), page), "Button22", 200, 240, 113, 25);

    GroupBox3 =
        place(new QGroupBox(QStringLiteral("Program"), page), "GroupBox3", 344, 160, 145, 113);
    Button34 = place(new QPushButton(QStringLiteral("Start"), page), "Button34", 368, 184, 105, 25);
    Button35 = place(new QPushButton(QStringLiteral("Pause"), page), "Button35", 368, 216, 105, 25);
    CheckBox1 = place(new QCheckBox(QStringLiteral("Repeat"), page), "CheckBox1", 392, 248, 73, 17);

    GroupBox4 = place(new QGroupBox(QStringLiteral("Timer"), page), "GroupBox4", 16, 288, 473, 73);
    Label1 = place(new QLabel(GroupBox4), "Label1", 16, 24, 3, 13);
    Label2 = place(new QLabel(QStringLiteral("Timer value"), GroupBox4), "Label2", 384, 24, 55, 13);
    Label4 = place(new QLabel(QStringLiteral("Timer resolution, ms"), GroupBox4), "Label4", 16, 24,
                   93, 13);
    // The caption must end before Label5 at 112: narrow the font until it does.
    for (qreal size = Label4->font().pointSizeF(); Label4->width() > 93 && size > 5; size -= 0.5) {
        QFont narrower = Label4->font();
        narrower.setPointSizeF(size - 0.5);
        Label4->setFont(narrower);
        Label4->adjustSize();
    }
    Label5 = place(new QLabel(QStringLiteral("1"), GroupBox4), "Label5", 112, 24, 6, 13);

    TrackBar1 = place(new QSlider(Qt::Horizontal, page), "TrackBar1", 24, 328, 361, 25);
    TrackBar1->setRange(1, 100);
    TrackBar1->setValue(1);
    TrackBar1->setTickInterval(1);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    TrackBar1->setPageStep(5);
    // A wheel turn changes the tick only while the track bar has the focus
    // (see eventFilter); a wheel turn alone does not give it the focus.
    TrackBar1->setFocusPolicy(Qt::StrongFocus);
    TrackBar1->installEventFilter(this);

    Label10 = place(new QLabel(QStringLiteral("Timer"), page), "Label10", 384, 328, 26, 13);
    Edit9 = place(new QLineEdit(QStringLiteral("0"), page), "Edit9", 400, 328, 57, 21);
    // Only a duration can be typed: digits, without leading zeros.
    Edit9->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("0|[1-9][0-9]{0,3}")), Edit9));
    UpDown1 = place(new UpDown(Edit9, page), "UpDown1", 457, 328, 15, 21);
    Label10->lower();
}

// ---------------------------------------------------------------- wiring

void TForm1::connectHandlers()
{
    WindowSession* w = session_.get();
    connect(w, &WindowSession::changed, this, &TForm1::mirror);
    connect(w, &WindowSession::errorRaised, this, &TForm1::reportError);
    connect(w, &WindowSession::labelDialogRequested, this, [this] {
        form2_->show();
        form2_->raise();
        form2_->activateWindow();
    });
    connect(&w->program, &ProgramList::currentChanged, StringGrid4, &ProgramGrid::setCurrentRow);
    connect(&w->program, &ProgramList::resized, this,
            [this] { StringGrid4->setCurrentRow(session_->program.current()); });

    connect(ComboBox1, &BoardComboBox::aboutToDropDown, this,
            [this, w] { handle([w] { w->ComboBox1DropDown(); }); });
    connect(ComboBox1, qOverload<int>(&QComboBox::activated), this,
            [this, w] { handle([this, w] { w->ComboBox1Change(ComboBox1->currentIndex()); }); });

    for (int relay = 1; relay <= RelayCount; ++relay) {
        connect(manualButton(relay), &QPushButton::clicked, this,
                [this, w, relay] { handle([w, relay] { w->ManualRelayClick(relay); }); });
        connect(stepBar(relay), &QPushButton::clicked, this,
                [this, w, relay] { handle([w, relay] { w->StepBarClick(relay); }); });
    }
    auto onClick = [this](QAbstractButton* button, void (WindowSession::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { handle([this, handler] { (session_.get()->*handler)(); }); });
    };
    onClick(Button9, &WindowSession::Button9Click);
    onClick(Button10, &WindowSession::Button10Click);
    onClick(Button23, &WindowSession::Button23Click);
    onClick(Button21, &WindowSession::Button21Click);
    onClick(Button22, &WindowSession::Button22Click);
    onClick(Button34, &WindowSession::Button34Click);
    onClick(Button35, &WindowSession::Button35Click);
    connect(Button19, &QPushButton::clicked, this, [this] { handle([this] { Button19Click(); }); });
    connect(Button20, &QPushButton::clicked, this, [this] { handle([this] { Button20Click(); }); });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this, w](bool on) { handle([w, on] { w->CheckBox1Click(on); }); });

    connect(StringGrid4, &ProgramGrid::rowPicked, this,
            [this, w](int row) { handle([w, row] { w->PickRow(row); }); });
    connect(Timer1, &TickTimer::timeout, this, [this, w] { handle([w] { w->Timer1Timer(); }); });
    connect(TrackBar1, &QSlider::valueChanged, this,
            [this, w](int ms) { handle([w, ms] { w->TrackBar1Change(ms); }); });
    connect(Edit9, &QLineEdit::textChanged, this,
            [this, w](const QString& text) { handle([w, text] { w->Edit9Change(text); }); });
    connect(UpDown1, &UpDown::stepped, this,
            [this, w](int delta) { handle([w, delta] { w->UpDown1Click(delta); }); });
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    // Without the focus a wheel turn, meant to scroll past the track bar,
    // would silently change the tick of a running program; it goes on to
    // the page instead.
    if (watched == TrackBar1 && event->type() == QEvent::Wheel && !TrackBar1->hasFocus()) {
        event->ignore();
        return true;
    }
    // The mouse-down handlers of the sixteen relay buttons run on the press,
    // before the button's click.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        const QVariant index = watched->property(EditedIndexProperty);
        if (index.isValid()) {
            const bool right = static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
            handle([this, &index, right] { session_->RelayButtonMouseDown(index.toInt(), right); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- mirroring

void TForm1::mirror(int aspects)
{
    const WindowSession& w = *session_;
    auto blocked = [](QObject* control, auto&& apply) {
        const QSignalBlocker blocker(control);
        apply();
    };
    if (aspects & WindowSession::Status) {
        Panel27->setColor(w.statusColor);
        Panel27->setText(w.statusText);
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
            stepBar(relay)->move(stepBar(relay)->x(), w.barTops[r]);
        if (aspects & WindowSession::Indicators)
            indicator(relay)->setColor(w.indicators[r]);
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
    if (aspects & WindowSession::LabelEdits && form2_)
        form2_->showTexts(w.labelOnText, w.labelOffText);
}

// ---------------------------------------------------------------- errors

void TForm1::reportError(const QString& message)
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

void TForm1::showError(const QString& message)
{
    QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Kestrune"), message);
    errorBoxBusy_ = false;
    if (errorsWhileBoxOpen_ > 0) {
        std::fprintf(stderr, "kestrune: %d further error(s) while the error box was open; last: %s\n",
                     errorsWhileBoxOpen_, qPrintable(lastError_));
        errorsWhileBoxOpen_ = 0;
    }
}

// ---------------------------------------------------------------- program files

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
    if (const QString error = session_->SaveProgram(path); !error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Save File"), error);
}

void TForm1::Button19Click()
{
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList chosen = OpenDialog1->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    if (const QString error = session_->OpenProgram(chosen.first()); !error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Open File"), error);
}

// ---------------------------------------------------------------- shut-down

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!closed_) {
        closed_ = true;
        handle([this] { session_->FormClose(); });
        if (form2_)
            form2_->hide();
    }
    event->accept();
}
