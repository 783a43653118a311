#include "app/form1.h"

#include "app/color_panel.h"
#include "boardlink/board_combo_box.h"
#include "labels/form2.h"
#include "timer/performance_graph.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/range_error.h"
#include "timer/tick_timer.h"
#include "timer/up_down.h"

#include <QCheckBox>
#include <QCloseEvent>
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
#include <exception>
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

constexpr int RelayCount = 8;
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

// The icon lives in this library's resources, which a static library must
// register itself.
static void initResources()
{
    Q_INIT_RESOURCE(kestrune);
}

TForm1::TForm1(UsbLibrary& library, QWidget* parent) : QWidget(parent), library_(library)
{
    buildWindow();
    connectHandlers();
    guarded([this] { FormCreate(); });
    form2_ = std::make_unique<TForm2>(labels, EditedLabelIndex);
}

TForm1::~TForm1() = default;

// ---------------------------------------------------------------- layout

void TForm1::buildWindow()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kestrune  ver. 1.3"));
    initResources();
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
    Panel27->setColor(Colors::Red);
    Panel27->raise();

    for (int relay = 1; relay <= RelayCount; ++relay) {
        const RelayWiring& w = Wiring[relay];
        indicators_[idx(relay)] =
            place(new ColorPanel(QString::number(relay), this), w.indicator, w.indicatorAt.x(),
                  w.indicatorAt.y(), 49, 25);
    }

    Timer1 = new TickTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1);

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
        auto* bar = place(new QPushButton(page), w.stepBar, w.barLeft, BarLowered, 73, 25);
        bar->setFont(pixelFont(10));
        bar->setProperty(EditedIndexProperty, relay + RelayCount);
        bar->installEventFilter(this);
        stepBars_[idx(relay)] = bar;
    }
    stepBar(1)->setText(QStringLiteral("ABCDEFGHIJ"));

    Label11 = place(new QLabel(QStringLiteral("User program"), page), "Label11", 504, 152, 63, 13);
    StringGrid4 = place(new ProgramGrid(page), "StringGrid4", 504, 168, 153, 193);
    StringGrid4->setFont(pixelFont(15, true));
    programModel = new ProgramModel(StringGrid4);
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
    Label5 = place(new QLabel(QStringLiteral("0"), GroupBox4), "Label5", 112, 24, 6, 13);

    TrackBar1 = place(new QSlider(Qt::Horizontal, page), "TrackBar1", 24, 328, 361, 25);
    TrackBar1->setRange(1, 100);
    TrackBar1->setValue(1);
    TrackBar1->setTickInterval(1);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    TrackBar1->setPageStep(5);

    Label10 = place(new QLabel(QStringLiteral("Timer"), page), "Label10", 384, 328, 26, 13);
    Edit9 = place(new QLineEdit(QStringLiteral("0"), page), "Edit9", 400, 328, 57, 21);
    // Only a duration can be typed: digits, without leading zeros.
    Edit9->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("0|[1-9][0-9]{0,3}")), Edit9));
    UpDown1 = place(new UpDown(Edit9, 0, 9999, page), "UpDown1", 457, 328, 15, 21);
    Label10->lower();
}

// ---------------------------------------------------------------- wiring

void TForm1::connectHandlers()
{
    connect(ComboBox1, &BoardComboBox::aboutToDropDown, this,
            [this] { guarded([this] { ComboBox1DropDown(); }); });
    connect(ComboBox1, qOverload<int>(&QComboBox::activated), this,
            [this] { guarded([this] { ComboBox1Change(); }); });

    for (int relay = 1; relay <= RelayCount; ++relay) {
        connect(manualButton(relay), &QPushButton::clicked, this,
                [this, relay] { guarded([this, relay] { ManualRelayClick(relay); }); });
        connect(stepBar(relay), &QPushButton::clicked, this,
                [this, relay] { guarded([this, relay] { StepBarClick(relay); }); });
    }
    connect(Button9, &QPushButton::clicked, this, [this] { guarded([this] { Button9Click(); }); });
    connect(Button10, &QPushButton::clicked, this, [this] { guarded([this] { Button10Click(); }); });

    connect(StringGrid4, &ProgramGrid::rowPicked, this,
            [this](int previous) { guarded([this, previous] { onRowPicked(previous); }); });
    connect(Button23, &QPushButton::clicked, this, [this] { guarded([this] { Button23Click(); }); });
    connect(Button21, &QPushButton::clicked, this, [this] { guarded([this] { Button21Click(); }); });
    connect(Button22, &QPushButton::clicked, this, [this] { guarded([this] { Button22Click(); }); });
    connect(Button19, &QPushButton::clicked, this, [this] { guarded([this] { Button19Click(); }); });
    connect(Button20, &QPushButton::clicked, this, [this] { guarded([this] { Button20Click(); }); });

    connect(Button34, &QPushButton::clicked, this, [this] { guarded([this] { Button34Click(); }); });
    connect(Button35, &QPushButton::clicked, this, [this] { guarded([this] { Button35Click(); }); });
    connect(Timer1, &TickTimer::timeout, this, [this] { guarded([this] { Timer1Timer(); }); });
    connect(TrackBar1, &QSlider::valueChanged, this,
            [this] { guarded([this] { TrackBar1Change(); }); });
    connect(Edit9, &QLineEdit::textChanged, this, [this] { guarded([this] { Edit9Change(); }); });
    connect(UpDown1, &UpDown::clicked, this, [this] { guarded([this] { UpDown1Click(); }); });
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    // The mouse-down handlers of the sixteen relay buttons run on the press,
    // before the button's click.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        const QVariant index = watched->property(EditedIndexProperty);
        if (index.isValid()) {
            const auto button = static_cast<QMouseEvent*>(event)->button();
            guarded([this, &index, button] { RelayButtonMouseDown(index.toInt(), button); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- errors

template <typename F>
void TForm1::guarded(F&& handler)
{
    try {
        handler();
    } catch (const RangeError& error) {
        reportError(error.message());
    } catch (const std::exception& error) {
        reportError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportError(QString());
    }
}

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

// ---------------------------------------------------------------- lifecycle

void TForm1::FormCreate()
{
    LoadLabels();
    Panel27->setColor(Colors::Red);
    Panel27->setText(QStringLiteral("Board not found !"));
    programModel->setText(0, "00000000-0");
    programModel->setCount(1);
    DiscoverBoards();
    RelayState = 0;
    Timer1->setEnabled(false);
}

void TForm1::FormClose()
{
    library_.close(boards.handles[0]);
    SaveLabels();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!closed_) {
        closed_ = true;
        guarded([this] { FormClose(); });
        if (form2_)
            form2_->hide();
    }
    event->accept();
}
