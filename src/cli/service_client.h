#pragma once

#include "engine/control/control_lines.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include <functional>

class SignalWatcher;

namespace cli {

// kestrune-cli's way to the board service: one connection, requests sent
// one after another, each answer and event waited for in an event loop.
class ServiceClient {
public:
    enum class Reach {
        Connected,  // it answered hello
        Absent,     // no socket, or nobody listens there
        Denied,     // the socket is there, its mode keeps this user out
    };
    // Connects to path within timeoutMs and says hello.
    Reach connect(const QString& path, int timeoutMs);
    QString path() const { return path_; }

    // Sends a request (its id is set here) and returns its answer: the
    // service's, or a refusal with code "gone" when the connection ended.
    QJsonObject request(QJsonObject request);
    // Sends a request without waiting for its answer; its id.
    qint64 send(QJsonObject request);
    // Waits for the answer to request id (sent by send()).
    QJsonObject answer(qint64 id) { return next(id, true); }
    // From now on the first signal watcher delivers is kept for waitEnd().
    void watch(SignalWatcher* watcher);
    int signal() const { return signal_; }
    // Waits for the last event of request id ("done", "failed", "end"),
    // giving onEvent every other one; the first signal, whenever it came,
    // goes to onSignal once, and the wait goes on.
    QJsonObject waitEnd(qint64 id, const std::function<void(int signal)>& onSignal,
                        const std::function<void(const QJsonObject& event)>& onEvent = {});

private:
    QJsonObject next(qint64 id, bool answer);

    QLocalSocket socket_;
    QString path_;
    ControlLines::LineReader reader_;
    QList<QJsonObject> early_;  // events that came before their request's answer
    qint64 lastId_ = 0;
    int signal_ = 0;
    std::function<void(int)> onSignal_;
};

}  // namespace cli
