#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/usb_library.h"
#include "mqtt/held_board.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <set>
#include <memory>

class BoardLink;

// The boards of the bus that this service may hold. It looks at the bus
// every scanMs (and soon after a board stops answering), takes each board
// that the allow-list lets through, lets go of the boards pulled out, and
// says so. Each board is held under a name that the naming function gives;
// whoever uses the pool decides what a name means.
class BoardPool final : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QStringList serials;  // the boards it may take (serials, port:PORT, "*" for any); empty: none
        BoardsConf boards;    // names, rules and on_start of the boards it describes
        int scanMs = 2000;    // how often to look for boards coming and going
    };
    // A board's name and the key that stays with it when the name changes.
    struct Naming {
        QByteArray name;
        QByteArray key;
    };
    using NameOf = std::function<Naming(const DeviceInfo& device, const NamedBoard* named)>;

    // One board the pool has seen, under its name; held while taken.
    struct Entry {
        QString serial;
        QByteArray name;
        QByteArray key;
        const NamedBoard* named = nullptr;  // its section in boards.conf, if any
        DeviceInfo info;                    // where it was when last taken or refused
        QString takenAt;                    // the port it was first taken at
        std::unique_ptr<HeldBoard> held;
        bool known = false;                 // taken once
        QString refusal;                    // why the last take failed, said once
        bool online() const { return held != nullptr; }
        QString label() const;
    };

    BoardPool(UsbLibrary& library, Settings settings, NameOf nameOf, QObject* parent = nullptr);
    ~BoardPool() override;

    const Settings& settings() const { return settings_; }
    // Looks at the bus every scanMs once enabled.
    void start();
    // Boards are taken only once enabled.
    void enable();
    // Takes the boards that appeared, lets go of those that are gone.
    void scan();
    void scanSoon();

    Entry* entry(const QByteArray& name);
    const std::map<QByteArray, std::unique_ptr<Entry>>& entries() const { return entries_; }
    // Lets go of a board held: its program stops, its pending edges are forgotten.
    void release(Entry& entry);

signals:
    // First seen: a board now has an entry under its name.
    void seen(const QByteArray& name, const DeviceInfo& device);
    void taken(const QByteArray& name);
    // A board held is no longer on the bus.
    void gone(const QByteArray& name);
    // A board was not taken, and why not.
    void notTaken(const QByteArray& name, const DeviceInfo& device, const QString& why);
    // Another board has this board's name on the bus: left alone.
    void nameTaken(const QByteArray& name, const DeviceInfo& device);
    // A board with the serial of a node bound to its port (see scan) is at
    // another port: left alone.
    void cloneLeftAlone(const QByteArray& name, const DeviceInfo& device, const QString& boundTo);
    // A look at the bus ended.
    void looked();

private:
    void take(Entry& entry, int index, const DeviceInfo& device);

    Settings settings_;
    NameOf nameOf_;
    UsbLibrary& library_;
    std::unique_ptr<BoardLink> scanner_;
    std::map<QByteArray, std::unique_ptr<Entry>> entries_;
    std::set<QString> cloned_;  // serials allowed that one look at the bus found at two ports, in this run
    QTimer scanTimer_;
    bool scanQueued_ = false;
    bool enabled_ = false;
};
