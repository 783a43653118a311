#pragma once

#include "mqtt/board_service.h"

#include <QLocalServer>
#include <QObject>

#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

// What one client of the control socket may do.
struct ControlLimits {
    int connections = 64;
    qint64 unread = 1 << 20;  // bytes a client may leave unread
    int stalledMs = 5000;     // a client that reads nothing for this long is dropped
    int halfLineMs = 10000;   // and one that sends part of a line and no more
    int rows = 1 << 22;       // rows of one program
};

// The service's local side: a Unix socket (see ControlLines for what is said
// on it) through which kestrune-cli switches, reads, pulses and plays the
// boards the service holds, in the order requests come, through each board's
// timeline. A program played here lives as long as its connection; a pulse's
// second edge is the service's and comes on time whatever becomes of the
// client. A client that floods, stalls or sends garbage is dropped alone.
class ControlServer final : public QObject {
    Q_OBJECT
public:
    using Limits = ControlLimits;

    explicit ControlServer(BoardService& service, Limits limits = {}, QObject* parent = nullptr);
    // Unlinks the socket.
    ~ControlServer() override;

    // Listens at path: group (plugdev, looked up before the boards are
    // timed: a lookup may wait on a name service) and mode 0660 are set on a
    // temporary name, which then replaces path in one step. An error text,
    // empty when listening.
    QString listen(const QString& path, std::optional<gid_t> group);
    static std::optional<gid_t> plugdev();
    // Drops every client (their programs stop) and unlinks the socket.
    void close();

private:
    class Connection;
    void accept();

    BoardService& service_;
    Limits limits_;
    QLocalServer server_;
    QString path_;
    std::vector<std::unique_ptr<Connection>> connections_;
};
