// The main window's layout: every control with its designer name, caption,
// place and size. The wiring, in the class's other file, connects them to
// the session.
#include "window/main_window.h"
#include "window/main_window_controls.h"

#include "window/widgets/board_combo_box.h"
#include "window/widgets/color_panel.h"
#include "window/widgets/performance_graph.h"
#include "window/widgets/program_grid.h"
#include "window/widgets/program_model.h"
#include "window/widgets/up_down.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>

#include <type_traits>

using namespace MainWindowLayout;

namespace {

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
void MainWindow::buildWindow()
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

    tickTimer = &session_->tickTimer;
    tickTimer->setObjectName(QStringLiteral("Timer1"));

    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);  // asked by saveFile
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
}

void MainWindow::buildOptionsPage(QWidget* page)
{
    Label6 = place(new QLabel(QStringLiteral("Select Board"), page), "Label6", 264, 128, 61, 13);
    ComboBox1 = place(new BoardComboBox(page), "ComboBox1", 264, 144, 169, 21);
}

void MainWindow::buildManualPage(QWidget* page)
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

void MainWindow::buildTimerPage(QWidget* page)
{
    PerformanceGraph1 =
        place(new PerformanceGraph(page), "PerformanceGraph1", 8, 16, 649, 129);

    // Tab order runs from relay 8's bar to relay 1's.
    for (int relay = RelayCount; relay >= 1; --relay) {
        const RelayWiring& w = Wiring[relay];
        auto* bar = place(new QPushButton(page), w.stepBar, w.barLeft, Looks::BarLoweredTop, 73, 25);
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
    // "Timer" ends just before the timer value's edit, whatever the font
    // measures, and the track bar ends before it.
    Label10->move(Edit9->x() - Label10->width() - 2, Edit9->y() + (Edit9->height() - Label10->height()) / 2);
    TrackBar1->resize(Label10->x() - TrackBar1->x() - 2, TrackBar1->height());
}

