#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/usb_library.h"
#include "mqtt/board_pool.h"
#include "mqtt/state_keeper.h"

#include <QMap>
#include <QObject>
#include <QStringList>

// The boards this service holds, whoever asks it to switch them: it takes
// every board the allow-list lets through as soon as it sees it (a board
// another program holds at the next look it is free), sets it as its
// on_start asks, keeps its last state, names the boards it holds in a list
// that every user may read, and lets a board go when it is pulled out. The
// sides that serve the boards (MQTT) decide nothing here.
class BoardService final : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QStringList serials;  // the boards to take (serials, port:PORT, "*" for every one); empty: none
        BoardsConf boards;    // names, rules and on_start of the boards it describes
        int scanMs = 2000;    // how often to look for boards coming and going
        QMap<QString, QByteArray> nodeNames;  // serial or port:PORT -> the board's name
        QString stateDir;     // where each board's last written state is kept; empty: nowhere
        QString holderList;   // the list of the boards held (see HolderList); empty: none
        QByteArray namePrefix;  // put before a board's name in the log (the MQTT base topic and /)
    };
    using Entry = BoardPool::Entry;

    BoardService(UsbLibrary& library, Settings settings, QObject* parent = nullptr);
    ~BoardService() override;

    const Settings& settings() const { return settings_; }
    // Looks at the bus now and every scanMs after.
    void start();
    // Takes the boards that appeared, lets go of those that are gone.
    void scan();

    Entry* entry(const QByteArray& name) { return pool_.entry(name); }
    const std::map<QByteArray, std::unique_ptr<Entry>>& entries() const { return pool_.entries(); }
    // The names of the boards held now.
    QList<QByteArray> heldBoards() const;
    // The name of a board as the log says it.
    QString where(const QByteArray& name) const { return QString::fromUtf8(settings_.namePrefix + name); }

    // Performs every pending second edge of a pulse or cycle now, and keeps
    // what was written: before a clean exit.
    void finishPulses();
    // Every board held has written what finishPulses() left to come.
    bool settled() const;
    // Keeps what is due of every board, and empties the list of boards held:
    // the last thing before the service ends.
    void close();

signals:
    // First seen: a board now has an entry under its name.
    void seen(const QByteArray& name, const DeviceInfo& device);
    // A board was taken and set as it starts.
    void taken(const QByteArray& name);
    // A board held was pulled out and let go.
    void gone(const QByteArray& name);
    // A board held wrote something and read its pins back; its program
    // started a step, stopped, paused, resumed or failed.
    void changed(const QByteArray& name);
    void programChanged(const QByteArray& name);
    // A look at the bus ended.
    void looked();

private:
    BoardPool::Naming nameOf(const DeviceInfo& device, const NamedBoard* named) const;
    void leftAlone(Entry& board, const DeviceInfo& info, const QString& why, bool nameTaken);
    void take(Entry& board);
    void startUp(Entry& board);
    void writeHolderList();

    Settings settings_;
    StateKeeper states_;
    BoardPool pool_;
    QString holderError_;  // why the list could not be written, said once
};
