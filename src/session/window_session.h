#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/board_link.h"
#include "engine/device/board_timeline.h"
#include "engine/labels/label_table.h"
#include "engine/program/program_list.h"
#include "engine/program/program_runner.h"
#include "engine/program/tick_timer.h"

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What the window and its session tell on stderr, as "kestrune: ...".
Q_DECLARE_LOGGING_CATEGORY(lcSession)

// What a relay's lamp says: nothing yet (as at start-up), on or off.
enum class Lamp { Unlit, On, Off };

// The state of one main window held as data, and the window's operations
// under the names of the controls and events that start them. A window shows
// this state and forwards the operator's actions here; it keeps none of its
// own. Every change is announced by changed() with the aspects it touched.
//
// Handlers may raise a RangeError (a program row that is not a relay pattern,
// or a timer value read past its end), which ends the handler where it stands; guarded() turns it into
// errorRaised(). Handlers the session starts itself (the timer value's change
// handler) are guarded on their own. What a board's rules refuse is no range
// error: the handler says it by errorRaised() and returns, having changed
// nothing.
//
// Every write goes through the board's timeline, which plans it from the
// board's history. A program row leaves a make that must wait pending on the
// timeline's timer; a click waits for it in its handler, so that the
// read-backs after it see the board as it stands.
class WindowSession final : public QObject {
    Q_OBJECT
public:
    static constexpr int RelayCount = 8;
    static constexpr int PauseMs = 50;
    static constexpr int MaxTimerValue = 9999;

    enum Aspect {
        Status = 0x001,       // the status strip
        BoardList = 0x002,    // the entries, text and index of the board list
        Captions = 0x004,     // the manual buttons
        BarCaptions = 0x008,  // the step bars' captions
        Bars = 0x010,         // the step bars' tops
        Indicators = 0x020,
        TimerValue = 0x040,
        RunState = 0x080,     // Start/Stop, Pause/Resume and the timer
        Resolution = 0x100,   // the tick in milliseconds and its label
        LabelEdits = 0x200,   // the two texts of the label dialog
        Repeat = 0x400,
    };

    explicit WindowSession(UsbLibrary& library, QObject* parent = nullptr);
    ~WindowSession() override;

    // ---- State ----
    BoardLink link;
    // boards.conf, read at start from boardsFile. A refused file refuses
    // every relay operation with its error until the window is restarted,
    // and no board is opened: they are listed, the strip says RefusedConf.
    QString boardsFile = BoardsConf::DefaultFile;
    BoardsConf boards;
    int selected = 0;  // the board every relay operation addresses
    std::uint8_t relayByte = 0;
    LabelTable labels;
    int labelBeingEdited = 0;
    ProgramList program;
    TickTimer tickTimer;
    ProgramRunner runner;

    struct BoardEntry {
        QString text;     // "Relay Board n"
        QString details;  // name in boards.conf, serial number, description and port
        DeviceInfo device;
        QString whyClosed;  // why it could not be opened (who holds it); empty when open
    };
    QList<BoardEntry> boardEntries;
    QString boardText;
    int boardIndex = -1;  // the entry picked; -1 for none
    // The board relay operations address, by identity (serial and port): each
    // look at the bus finds it again wherever it is listed. Lost when it is
    // gone or a write to it failed: nothing is written until the operator
    // picks a board again.
    std::optional<DeviceInfo> followed;
    bool boardLost = false;

    inline static const QString RefusedConf = QStringLiteral("boards.conf was refused");
    bool boardFound = false;  // what the status strip says besides its text
    QString statusText;
    // Per relay, index 1-8.
    std::array<QString, RelayCount + 1> captions;
    std::array<QString, RelayCount + 1> barCaptions;
    std::array<bool, RelayCount + 1> barsRaised{};  // a raised step bar: its relay is on
    std::array<Lamp, RelayCount + 1> indicators{};
    QString timerValue = QStringLiteral("0");
    int resolution = 1;  // milliseconds per tick
    QString resolutionText = QStringLiteral("1");
    QString labelOnText;   // what the label dialog's edits are given
    QString labelOffText;

    // The handlers' deliberate pauses; a test may replace it.
    std::function<void(int ms)> pause;
    // The clock the boards' timelines keep time by (ms); empty: the real
    // one. A test that replaces pause moves it on there.
    BoardTimeline::Clock clock;

    int timerPosition() const;  // the timer value as a number, 0-9999
    bool runActive() const { return runner.isActive(); }
    int savedStepDuration() const { return runner.savedStepDuration(); }  // SavedStepDuration
    int currentRow() const { return program.current(); }

    // Runs a handler; a range error it raises is reported by errorRaised().
    template <typename F>
    void guarded(F&& handler);

    // ---- Start-up and shut-down ----
    void startUp();  // FormCreate
    void shutDown();  // FormClose

    // ---- Board link ----
    void discoverBoards();  // DiscoverBoards
    void rediscoverBoards();  // ComboBox1DropDown
    void pickBoard(int index);  // ComboBox1Change: index -1: text typed, no entry picked
    void writeRelayByte();  // WriteRelayState: pending makes stay pending
    void readRelayByte();  // ReadRelayState
    void indicatorsFromBoard();  // IndicatorsFromBoard

    // ---- Manual relay panel ----
    // False when the board's rules refused it (said by errorRaised; nothing changed).
    bool relayCommand(int command);  // RelayCommand: 1-8 a relay, 9 all on, 10 all off
    void indicatorsFromCaptions();  // IndicatorsFromCaptions
    void captionsFromBoard();  // CaptionsFromBoard
    void toggleRelay(int relay);  // ManualRelayClick: Button2Click ... Button8Click
    void allOn();  // Button9Click
    void allOff();  // Button10Click

    // ---- Labels ----
    void loadLabels();  // LoadLabels
    void saveLabels();  // SaveLabels
    void relayButtonPressed(int editedLabelIndex, bool rightButton);  // RelayButtonMouseDown
    // Empty when stored; else why the texts were refused (nothing is stored).
    QString completeLabelEdit(const QString& onText, const QString& offText);  // CompleteLabelEdit

    // ---- Step bars ----
    void toggleStepBar(int relay);  // StepBarClick: Button18Click ... Button11Click
    void stepBarsFromBoard();  // UpdateStepBarsFromBoard
    void indicatorsFromStepBars();  // UpdateIndicatorsFromStepBars
    void writeStepBarsToBoard();  // WriteStepBarsToBoard
    void copyCaptionToStepBar(unsigned relay);  // CopyRelayCaptionToStepBar

    // ---- Program list ----
    void currentRowFromBoard();  // UpdateCurrentRowFromBoard
    // Why the board's rules refuse the row (nothing loaded); empty when loaded.
    QString loadCurrentRow();  // StringGrid4Click
    void pickRow(int row);  // PickRow: the operator makes a row current: a click or a key
    void addRow();  // Button23Click: Add
    void clearLastRow();  // Button21Click: Clear
    void clearAllRows();  // Button22Click: Clear all

    // ---- Program files; the error text is empty on success ----
    QString saveProgram(const QString& path) const;
    QString openProgram(const QString& path);  // OpenProgram

    // ---- Program runner ----
    void updateCurrentRowDuration();  // UpdateCurrentRowDuration
    void tick();  // Timer1Timer
    void startOrStop();  // Button34Click: Start / Stop
    void pauseOrResume();  // Button35Click: Pause / Resume
    void setRepeat(bool repeat);  // CheckBox1Click
    void setResolution(int milliseconds);  // TrackBar1Change
    void stepTimerValue(int delta);  // UpDown1Click: an arrow: +1 or -1
    void editTimerValue(const QString& text);  // Edit9Change: the operator edited the timer value

signals:
    void changed(int aspects);
    void errorRaised(const QString& message);
    // A right press on a relay button asks for the label dialog.
    void labelDialogRequested();

private:
    // Ends the handler with the boards.conf error when the file was refused.
    void requireBoards() const;
    void setStatus(bool found, const QString& text);
    void follow(int index);
    void loseBoard(const QString& why);
    void setCaption(int relay, bool on);
    void setBar(int relay, bool raised);
    void setIndicator(int relay, Lamp lamp);
    void setTimerValue(const QString& text);  // as the program sets it
    void timerValueEdited();
    void setTimerPosition(int position);
    void refreshFromBoard();
    // The timeline of the board in slot, made when the board is opened.
    BoardTimeline& timeline(int slot);
    // The board selected failed a write or a read: it is lost.
    void boardFailed(const QString& what);
    // A click waits here for the makes its write left pending.
    void awaitMakes();
    // Whether the board's rules refuse the pattern a click on what asks for;
    // a refusal is said by errorRaised().
    bool refused(const QString& what, std::uint8_t pattern);
    bool loadRow(int row);  // false when refused: the run stopped, the refusal said
    bool makeRowCurrent(int row);
    void restoreStepDuration(int row);
    void restartStep();
    void beginStepInCurrentRow();
    void haltRun();
    bool barLowered(int relay) const { return !barsRaised[static_cast<std::size_t>(relay)]; }
    const QByteArray& currentText() const { return program.text(program.current()); }

    // A range error raised by a change of the timer value that the session
    // made itself is reported, except while a halted run puts its count back.
    bool quietRangeErrors_ = false;
    bool loadAtResume_ = false;  // the current row is loaded when a paused run resumes
    // Per slot; made again at each look at the bus, when every slot is reopened.
    std::array<std::unique_ptr<BoardTimeline>, BoardLink::SlotCount> timelines_;
};

#include "engine/program/range_error.h"

#include <exception>

template <typename F>
void WindowSession::guarded(F&& handler)
{
    try {
        handler();
    } catch (const RangeError& error) {
        emit errorRaised(error.message());
    } catch (const std::exception& error) {
        emit errorRaised(QString::fromLocal8Bit(error.what()));
    }
}
