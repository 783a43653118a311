#pragma once

#include "session/window_session.h"

#include <QWidget>

#include <array>
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
class LabelDialog;
class UpDown;
class UsbLibrary;

// The main window: designer-named controls that show a WindowSession and
// forward the operator's actions to it. The session holds all state; the
// window holds the dialogs (file dialogs, message boxes, the label dialog).
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    // boardsFile: the boards.conf to read at start.
    explicit MainWindow(UsbLibrary& library, QWidget* parent = nullptr,
                    const QString& boardsFile = BoardsConf::DefaultFile);
    ~MainWindow() override;

    WindowSession& session() { return *session_; }
    const WindowSession& session() const { return *session_; }
    LabelDialog* labelDialog() const { return labelDialog_.get(); }

    // ---- Controls, under their designer names ----
    QTabWidget* TabbedNotebook1;
    ColorPanel* Panel27;  // the status strip
    QLabel* Label3;
    TickTimer* tickTimer;    // the session's
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

    // ---- Handlers that need a dialog ----
    void openFile();  // Open File
    void saveFile();  // Save File

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
    // Brings the controls showing the given aspects in step with the session.
    void mirror(int aspects);

    template <typename F>
    void handle(F&& handler) { session_->guarded(std::forward<F>(handler)); }
    void reportError(const QString& message);
    void showError(const QString& message);

    std::unique_ptr<WindowSession> session_;
    std::unique_ptr<LabelDialog> labelDialog_;
    std::array<QPushButton*, 9> manualButtons_{};
    std::array<ColorPanel*, 9> indicators_{};
    std::array<QPushButton*, 9> stepBars_{};
    int errorsReported_ = 0;
    int errorsWhileBoxOpen_ = 0;
    bool errorBoxBusy_ = false;  // a box is waiting to be shown, or open
    QString lastError_;
    bool closed_ = false;
};
