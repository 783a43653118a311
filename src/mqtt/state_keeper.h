#pragma once

#include "engine/config/boards_conf.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <map>
#include <optional>

// The last state written to each board, kept in a folder ($STATE_DIRECTORY)
// for on_start = restore: a file per board name, replaced whole, at most
// every 250 ms while a fast program plays (what is due then follows when
// that time is up) and at once when asked. Without a folder nothing is kept.
class StateKeeper final : public QObject {
    Q_OBJECT
public:
    static constexpr int IntervalMs = 250;

    explicit StateKeeper(QString folder, QObject* parent = nullptr);

    // The board written to shows pins: kept now, or due within IntervalMs.
    void wrote(const QByteArray& name, const QString& label, std::uint8_t pins);
    // Keeps the board's pins now unless they are kept already.
    void keep(const QByteArray& name, const QString& label, std::uint8_t pins);
    // Keeps what is due now: of one board, or of every board.
    void keepDue(const QByteArray& name);
    void keepAllDue();

    // What on_start asks for as a board is taken: a pattern to write, or
    // none to leave its relays as they are (said in the log where a kept
    // state was asked for and none could be read).
    std::optional<std::uint8_t> startPattern(const QByteArray& name, const QString& label, NamedBoard::OnStart mode) const;

    QString file(const QByteArray& name) const;

private:
    struct Kept {
        QString label;
        std::uint8_t pins = 0;
        std::optional<std::uint8_t> saved;  // the state last kept in its file
        QElapsedTimer lastSave;
        bool due = false;
        QString error;  // why the state could not be kept, logged once
    };
    void save(const QByteArray& name, Kept& kept);

    QString folder_;
    std::map<QByteArray, Kept> kept_;
    QTimer timer_;
};
