#include "cli/service_client.h"

#include "engine/control/control_lines.h"
#include "engine/signal_watcher.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace cli {

ServiceClient::Reach ServiceClient::connect(const QString& path, int timeoutMs)
{
    path_ = path;
    socket_.connectToServer(path);
    if (!socket_.waitForConnected(timeoutMs))
        return socket_.error() == QLocalSocket::SocketAccessError ? Reach::Denied : Reach::Absent;
    // A service that does not answer in time is as good as none.
    const qint64 id = send({{QStringLiteral("op"), QStringLiteral("hello")}, {QStringLiteral("version"), ControlLines::Version}});
    for (QDeadlineTimer deadline(timeoutMs); !socket_.canReadLine();)
        if (deadline.hasExpired() || !socket_.waitForReadyRead(int(deadline.remainingTime())))
            return Reach::Absent;
    return next(id, true).value(QStringLiteral("ok")).toBool() ? Reach::Connected : Reach::Absent;
}

qint64 ServiceClient::send(QJsonObject request)
{
    request.insert(QStringLiteral("id"), ++lastId_);
    socket_.write(ControlLines::line(request));
    socket_.flush();
    return lastId_;
}

QJsonObject ServiceClient::request(QJsonObject request)
{
    return next(send(std::move(request)), true);
}

// The next line about id: its answer, or any event. Lines about other
// requests (the answer to a finish or stop) are passed over.
QJsonObject ServiceClient::next(qint64 id, bool answer)
{
    if (!answer)
        for (qsizetype i = 0; i < early_.size(); ++i)
            if (early_[i].value(QStringLiteral("id")).toInteger() == id)
                return early_.takeAt(i);
    for (;;) {
        while (const std::optional<QByteArray> line = reader_.next()) {
            const Outcome<ControlLines::Message> message = ControlLines::parse(*line, false);
            if (!message.ok())
                continue;
            const QJsonObject& o = message.value->object;
            if (message.value->id == id && o.contains(QStringLiteral("event")) != answer)
                return o;
            if (o.contains(QStringLiteral("event")))
                early_.append(o);
            if (message.value->id == 0 && !o.value(QStringLiteral("ok")).toBool(true))
                return o;  // a refusal of the connection itself
        }
        if (socket_.state() != QLocalSocket::ConnectedState && socket_.bytesAvailable() == 0)
            return ControlLines::refusal(id, QStringLiteral("gone"), QStringLiteral("the board service closed the connection"));
        QEventLoop loop;
        QObject::connect(&socket_, &QLocalSocket::readyRead, &loop, &QEventLoop::quit);
        QObject::connect(&socket_, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
        if (socket_.bytesAvailable() == 0 && socket_.state() == QLocalSocket::ConnectedState)
            loop.exec();
        if (!reader_.feed(socket_.readAll()))
            return ControlLines::refusal(id, QStringLiteral("bad"), QStringLiteral("the board service sent a line too long"));
    }
}

void ServiceClient::watch(SignalWatcher* watcher)
{
    if (watcher)
        QObject::connect(watcher, &SignalWatcher::received, &socket_, [this](int received) {
            if (signal_)
                return;
            signal_ = received;
            if (onSignal_)
                onSignal_(received);
            // A service that does not end the request soon after is left.
            QTimer::singleShot(30000, &socket_, [this] { socket_.abort(); });
        });
}

QJsonObject ServiceClient::waitEnd(qint64 id, const std::function<void(int)>& onSignal,
                                   const std::function<void(const QJsonObject&)>& onEvent)
{
    onSignal_ = onSignal;
    if (signal_)
        onSignal_(signal_);
    for (;;) {
        const QJsonObject event = next(id, false);
        const QString name = event.value(QStringLiteral("event")).toString();
        if (name.isEmpty() || name == QLatin1String("done") || name == QLatin1String("failed") || name == QLatin1String("end")) {
            onSignal_ = {};
            return event;
        }
        if (onEvent)
            onEvent(event);
    }
}

}  // namespace cli
