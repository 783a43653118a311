#pragma once

#include "boardlink/board_table.h"
#include "labels/label_table.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class BoardComboBox;
class ColorPanel;
class ProgramGrid;
class ProgramModel;
class QCheckBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class TForm2;
class TickTimer;
class UpDown;
class UsbLibrary;

// The main window. It owns the process-wide state: the board table, the
// relay state byte, the label table and the program list (which lives in the
// rows of StringGrid4). Every operation runs on the UI thread inside an
// event handler of this window or of the label dialog.
class TForm1 final : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(UsbLibrary& library, QWidget* parent = nullptr);
    ~TForm1() override;

    TForm2* Form2() const { return form2_.get(); }

    // ---- Controls, under their designer names ----
    QTabWidget* TabbedNotebook1;
    ColorPanel* Panel27;  // the status strip
    QLabel* Label3;
    TickTimer* Timer1;
    QFileDialog* SaveDialog1;
    QFileDialog* OpenDialog1;
    // Options page
    QLabel* Label6;
    BoardComboBox* ComboBox1;
    // Manual Mode page
    QPushButton* Button9;
    QPushButton* Button10;
    // Timer Mode page
    QWidget* PerformanceGraph1;
    QLabel* Label11;
    ProgramGrid* StringGrid4;
    ProgramModel* programModel;
    QGroupBox* GroupBox1;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox3;
    QGroupBox* GroupBox4;
    QPushButton* Button19;  // Open File
    QPushButton* Button20;  // Save File
    QPushButton* Button21;  // Clear
    QPushButton* Button22;  // Clear all
    QPushButton* Button23;  // Add
    QPushButton* Button34;  // Start / Stop
    QPushButton* Button35;  // Pause / Resume
    QCheckBox* CheckBox1;   // Repeat
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label10;
    QSlider* TrackBar1;
    QLineEdit* Edit9;
    UpDown* UpDown1;

    // Per relay (index 1-8): manual button, indicator panel and step bar.
    QPushButton* manualButton(int relay) const { return manualButtons_[idx(relay)]; }
    ColorPanel* indicator(int relay) const { return indicators_[idx(relay)]; }
    QPushButton* stepBar(int relay) const { return stepBars_[idx(relay)]; }

    // ---- State ----
    BoardTable boards;
    std::uint8_t RelayState = 0;
    std::uint32_t BytesWritten = 0;
    LabelTable labels;
    int EditedLabelIndex = 0;
    int SavedStepDuration = 0;

    // ---- Start-up and shut-down ----
    void FormCreate();
    void FormClose();

    // ---- Board link ----
    void DiscoverBoards();
    void ComboBox1DropDown();
    void ComboBox1Change();
    void WriteRelayState();
    void ReadRelayState();
    void IndicatorsFromBoard();

    // ---- Manual relay panel ----
    void RelayCommand(int command);
    void IndicatorsFromCaptions();
    void CaptionsFromBoard();
    void ManualRelayClick(int relay);  // Button2Click ... Button8Click
    void Button9Click();
    void Button10Click();

    // ---- Labels ----
    void LoadLabels();
    void SaveLabels();
    void RelayButtonMouseDown(int editedLabelIndex, Qt::MouseButton button);

    // ---- Step bars ----
    static constexpr int BarRaised = 32;
    static constexpr int BarLowered = 112;
    void StepBarClick(int relay);  // Button18Click ... Button11Click
    void UpdateStepBarsFromBoard();
    void UpdateIndicatorsFromStepBars();
    void WriteStepBarsToBoard();
    void CopyRelayCaptionToStepBar(unsigned relay);

    // ---- Program list ----
    int currentRow() const;
    void UpdateCurrentRowFromBoard();
    void StringGrid4Click();
    void Button23Click();
    void Button21Click();
    void Button22Click();

    // ---- Program files ----
    void Button19Click();
    void Button20Click();

    // ---- Program runner ----
    void UpdateCurrentRowDuration();
    void ProgramTick();
    void Timer1Timer();
    void Button34Click();
    void Button35Click();
    void TrackBar1Change();
    void UpDown1Click();
    void Edit9Change();
    bool runActive() const;  // running or paused

    // Errors raised in handlers are shown in an error box once the handler
    // has returned; while one box is open, later errors are counted only.
    int errorsReported() const { return errorsReported_; }
    QString lastError() const { return lastError_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static std::size_t idx(int relay) { return static_cast<std::size_t>(relay); }

    void buildWindow();
    void buildOptionsPage(QWidget* page);
    void buildManualPage(QWidget* page);
    void buildTimerPage(QWidget* page);
    void connectHandlers();

    // Runs an event handler, turning any error it raises into an error box.
    template <typename F>
    void guarded(F&& handler);
    void reportError(const QString& message);
    void showError(const QString& message);

    // The character at 1-based position of a row's line (its text and CR LF).
    char rowLineChar(int row, int position) const;
    // Makes another row current the way the program does: the row is loaded
    // before this returns. Making the current row current does nothing.
    void makeRowCurrent(int row);
    void onRowPicked(int previousRow);
    // Puts the duration its step began with back into a row the run leaves.
    void restoreStepDuration(int row);
    static QByteArray withDuration(const QByteArray& rowText, int duration);
    // During a run, a row that became current without being loaded starts
    // its step from its own duration.
    void restartStepFromCurrentRow();
    void setCaption(int relay, bool on);

    UsbLibrary& library_;
    std::unique_ptr<TForm2> form2_;
    std::array<QPushButton*, 9> manualButtons_{};
    std::array<ColorPanel*, 9> indicators_{};
    std::array<QPushButton*, 9> stepBars_{};
    int errorsReported_ = 0;
    int errorsWhileBoxOpen_ = 0;
    bool errorBoxBusy_ = false;  // a box is waiting to be shown, or open
    QString lastError_;
    bool closed_ = false;
};
