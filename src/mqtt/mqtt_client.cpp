#include "mqtt/mqtt_client.h"

#include "mqtt/relay_bridge.h"  // the logging category

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <map>
#include <vector>
#include <cstring>
#include <sys/socket.h>

namespace {
QString reason(int rc, int error)
{
    if (rc == MOSQ_ERR_KEEPALIVE)  // which this library does not name
        return QStringLiteral("the broker did not answer within the keepalive time");
    return QString::fromLocal8Bit(rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc));
}
}  // namespace

MqttClient::MqttClient(Options options, QObject* parent) : QObject(parent), options_(std::move(options))
{
    miscTimer_.setInterval(1000);
    connect(&miscTimer_, &QTimer::timeout, this, [this] {
        if (mosq_)
            afterLoop(mosquitto_loop_misc(mosq_));
    });
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &MqttClient::connectNow);
    finishTimer_.setSingleShot(true);
    connect(&finishTimer_, &QTimer::timeout, this, &MqttClient::disconnectNow);
    connackTimer_.setSingleShot(true);
    connect(&connackTimer_, &QTimer::timeout, this, [this] { connackLate(generation_); });
}

MqttClient::~MqttClient()
{
    dropSocket();
    dropHandle();
    mosquitto_lib_cleanup();
}

QString MqttClient::start()
{
    mosquitto_lib_init();
    for (const auto& [name, path] : {std::pair{"cafile", options_.cafile}, {"certfile", options_.certfile},
                                     {"keyfile", options_.keyfile}}) {
        if (!path.isEmpty() && !QFileInfo(path).isReadable())
            return QStringLiteral("cannot read the %1 %2").arg(QLatin1String(name), path);
    }
    if (QString error = newHandle(); !error.isEmpty())  // whether the settings and files are taken
        return error;
    miscTimer_.start();
    // Later: the name lookup blocks, and a caller waiting for this answer with it.
    QMetaObject::invokeMethod(this, &MqttClient::connectNow, Qt::QueuedConnection);
    return {};
}

QString MqttClient::newHandle()
{
    dropHandle();
    mosq_ = mosquitto_new(options_.clientId.constData(), true, this);
    if (!mosq_)
        return QStringLiteral("cannot create an MQTT client: %1").arg(reason(MOSQ_ERR_ERRNO, errno));
    // MQTT 5, so that a command retained on the broker can be told from one
    // sent now (retain as published) and ignored however it arrives.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttClient::onPublish);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessage);
    mosquitto_log_callback_set(mosq_, &MqttClient::onLog);
    int rc = MOSQ_ERR_SUCCESS;
    if (!options_.willTopic.isEmpty())
        rc = mosquitto_will_set(mosq_, options_.willTopic.constData(),
                                static_cast<int>(options_.willPayload.size()),
                                options_.willPayload.constData(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return QStringLiteral("cannot set the MQTT client up: %1").arg(reason(rc, errno));
    return configure(mosq_);
}

// The credentials and TLS files, for the client's handle and a look's.
QString MqttClient::configure(mosquitto* handle) const
{
    int rc = MOSQ_ERR_SUCCESS;
    if (!options_.username.isEmpty())
        rc = mosquitto_username_pw_set(
            handle, options_.username.toUtf8().constData(),
            options_.password.isEmpty() ? nullptr : options_.password.toUtf8().constData());
    if (rc != MOSQ_ERR_SUCCESS)
        return QStringLiteral("cannot set the MQTT client up: %1").arg(reason(rc, errno));
    if (!options_.cafile.isEmpty()) {
        const QByteArray ca = options_.cafile.toLocal8Bit();
        const QByteArray cert = options_.certfile.toLocal8Bit();
        const QByteArray key = options_.keyfile.toLocal8Bit();
        rc = mosquitto_tls_set(handle, ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return QStringLiteral("cannot use the TLS files (cafile %1%2): %3")
                .arg(options_.cafile,
                     cert.isEmpty() ? QString() : QStringLiteral(", certfile %1, keyfile %2")
                                                      .arg(options_.certfile, options_.keyfile),
                     reason(rc, errno));
    }
    return {};
}

void MqttClient::dropHandle()
{
    if (mosq_)
        mosquitto_destroy(mosq_);  // closes its socket; what it queued goes with it
    mosq_ = nullptr;
}

namespace {
// What a look at the broker found: the retained messages on the topics
// looked at, complete once the look's own probe came back after them.
struct Look {
    QByteArray probe;
    std::vector<QByteArray> topics;
    std::map<QByteArray, QByteArray> found;
    bool done = false;
};
}  // namespace

// A throwaway client (no will, an id of its own) takes nobody's session
// over. It runs on this thread, bounded by LookMs past the name lookup,
// which blocks here as the attempt's own would.
bool MqttClient::othersOnline()
{
    Look look{options_.busyTopic + "/look-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16),
              {options_.busyTopic, options_.instanceTopic}, {}, false};
    mosquitto* handle = mosquitto_new(nullptr, true, &look);
    if (!handle)
        return false;
    const auto cleanup = qScopeGuard([handle] { mosquitto_destroy(handle); });
    mosquitto_connect_callback_set(handle, [](mosquitto* h, void* data, int rc) {
        const Look& l = *static_cast<Look*>(data);
        for (const QByteArray& topic : l.topics)
            mosquitto_subscribe(h, nullptr, topic.constData(), 1);
        mosquitto_subscribe(h, nullptr, l.probe.constData(), 1);
        if (rc == 0)
            mosquitto_publish(h, nullptr, l.probe.constData(), 0, nullptr, 1, false);
    });
    mosquitto_message_callback_set(handle, [](mosquitto*, void* data, const mosquitto_message* m) {
        Look& l = *static_cast<Look*>(data);
        const QByteArray topic(m->topic);
        if (topic == l.probe)
            l.done = true;
        else
            l.found[topic] = QByteArray(static_cast<const char*>(m->payload), m->payloadlen);
    });
    if (!configure(handle).isEmpty() ||
        mosquitto_connect_async(handle, options_.host.toUtf8().constData(), options_.port, options_.keepAliveSeconds) != MOSQ_ERR_SUCCESS)
        return false;
    const QDeadlineTimer deadline(LookMs);
    while (!look.done && !deadline.hasExpired() && mosquitto_loop(handle, 100, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(handle);
    return look.done && look.found[options_.busyTopic] == "online" && look.found[options_.instanceTopic] != instance_;
}

void MqttClient::connectNow()
{
    qCDebug(lcMqtt) << "connecting to" << options_.host << options_.port;
    if (!options_.busyTopic.isEmpty() && othersOnline()) {
        if (!std::exchange(busyLogged_, true))
            qCCritical(lcMqtt).noquote() << QStringLiteral("another daemon uses the id %1 on the broker at %2:%3 and is online: "
                                                           "this one waits, looking again every 30 s; give each daemon its own id "
                                                           "(--id or [topics] id)")
                                                .arg(QString::fromUtf8(options_.clientId), options_.host)
                                                .arg(options_.port);
        state_ = State::Waiting;
        retryTimer_.start(BusyRetryMs);
        return;
    }
    busyLogged_ = false;
    ++generation_;
    state_ = State::Connecting;
    libraryError_.clear();
    dropSocket();
    unacknowledged_.clear();
    // A fresh handle for each attempt: the library keeps QoS 1 messages
    // handed to it after it lost a connection, and would send them on the
    // next one, before this client has said who it is there.
    if (const QString error = newHandle(); !error.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this, generation = generation_, error] { lost(generation, error); }, Qt::QueuedConnection);
        return;
    }
    // Looks the host name up here, on this thread, however long that takes.
    const int rc = mosquitto_connect_async(mosq_, options_.host.toUtf8().constData(), options_.port,
                                           options_.keepAliveSeconds);
    const int error = errno;
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING) {
        // Queued behind what the library logged on the way.
        QMetaObject::invokeMethod(
            this, [this, generation = generation_, why = reason(rc, error)] { lost(generation, why); },
            Qt::QueuedConnection);
        return;
    }
    connackTimer_.start(ConnackTimeoutMs);
    afterLoop(MOSQ_ERR_SUCCESS);
}

void MqttClient::connackLate(quint64 generation)
{
    if (generation != generation_ || state_ != State::Connecting)
        return;
    const QString broker = options_.host + QLatin1Char(':') + QString::number(options_.port);
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const bool accepted = fd_ >= 0 && ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
    dropSocket();
    dropHandle();
    lost(generation,
         accepted ? QStringLiteral("the broker at %1 accepted the connection but did not answer in %2 s")
                        .arg(broker).arg(ConnackTimeoutMs / 1000)
                  : QStringLiteral("the broker at %1 did not accept the connection in %2 s")
                        .arg(broker).arg(ConnackTimeoutMs / 1000),
         false, true);
}

void MqttClient::watchSocket()
{
    fd_ = mosquitto_socket(mosq_);
    if (fd_ < 0)
        return;
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this,
            [this] {
                if (mosq_)
                    afterLoop(mosquitto_loop_read(mosq_, 1));
            });
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    connect(writeNotifier_, &QSocketNotifier::activated, this,
            [this] {
                if (mosq_)
                    afterLoop(mosquitto_loop_write(mosq_, 1));
            });
}

void MqttClient::dropSocket()
{
    // The notifiers may be the ones whose signal runs now: let them go later,
    // switched off at once (their descriptor may be closed and reused).
    for (QSocketNotifier* notifier : {readNotifier_, writeNotifier_}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier_ = writeNotifier_ = nullptr;
    fd_ = -1;
}

void MqttClient::updateWrite()
{
    if (writeNotifier_)
        writeNotifier_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::afterLoop(int rc)
{
    const int error = errno;
    if (mosquitto_socket(mosq_) != fd_) {
        dropSocket();
        watchSocket();
    }
    if (fd_ < 0 && (state_ == State::Connecting || state_ == State::Connected ||
                    state_ == State::Finishing)) {
        // Queued behind what the library's callbacks queued (a refusal, say).
        const QString why = reason(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc, error);
        QMetaObject::invokeMethod(
            this, [this, generation = generation_, why] { lost(generation, why); }, Qt::QueuedConnection);
        return;
    }
    updateWrite();
}

void MqttClient::connectedAck(quint64 generation, int rc)
{
    if (generation != generation_ || state_ != State::Connecting)
        return;
    connackTimer_.stop();
    if (rc != 0) {
        refusal_ = QString::fromLocal8Bit(mosquitto_reason_string(rc));
        return;  // the library closes the connection, and lost() follows
    }
    state_ = State::Connected;
    backoffSeconds_ = 1;
    failureLogged_ = false;
    loggedFailure_.clear();
    refusal_.clear();
    qCInfo(lcMqtt).noquote() << "connected to the broker at" << options_.host + QLatin1Char(':') +
                                                                    QString::number(options_.port);
    emit connected(generation_, takenOver_);
}

void MqttClient::lost(quint64 generation, const QString& why, bool takenOver, bool whole)
{
    if (generation != generation_)
        return;
    connackTimer_.stop();
    if (state_ == State::Finishing) {
        state_ = State::Finished;
        dropSocket();
        emit finished();
        return;
    }
    if (state_ != State::Connecting && state_ != State::Connected)
        return;
    const bool wasConnected = state_ == State::Connected;
    takenOver_ = takenOver;
    if (takenOver)
        return standDown(generation_, QStringLiteral("the broker gave this client id (%1) to another client: another daemon "
                                        "uses the same id").arg(QString::fromUtf8(options_.clientId)));
    QString what = refusal_.isEmpty() ? why : QStringLiteral("refused: %1").arg(refusal_);
    if (!libraryError_.isEmpty())
        what += QStringLiteral(": ") + libraryError_;
    refusal_.clear();
    dropSocket();
    dropHandle();
    unacknowledged_.clear();
    state_ = State::Waiting;
    if (wasConnected)
        emit disconnected();
    if (wasConnected) {
        backoffSeconds_ = 1;
        qCWarning(lcMqtt).noquote() << "lost the broker (" + what + "); reconnecting";
    } else if (!failureLogged_ || what != loggedFailure_) {  // once per run of failures and reason
        if (whole)
            qCWarning(lcMqtt).noquote() << what + QStringLiteral("; retrying every 1 to 30 s");
        else
            qCWarning(lcMqtt).noquote() << "cannot reach the broker at" << options_.host +
                                               QLatin1Char(':') + QString::number(options_.port)
                                        << "(" + what + "); retrying every 1 to 30 s";
        failureLogged_ = true;
        loggedFailure_ = what;
    }
    retryTimer_.start(backoffSeconds_ * 1000);
    backoffSeconds_ = std::min(backoffSeconds_ * 2, 30);
}

void MqttClient::subscribe(quint64 connection, const std::vector<QByteArray>& filters, bool commands)
{
    if (state_ != State::Connected || connection != generation_)
        return;
    const int options = MQTT_SUB_OPT_RETAIN_AS_PUBLISHED |
                        (commands ? MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0);
    for (const QByteArray& filter : filters)
        mosquitto_subscribe_v5(mosq_, nullptr, filter.constData(), 1, options, nullptr);
    updateWrite();
}

void MqttClient::unsubscribe(quint64 connection, const QByteArray& filter)
{
    if (state_ != State::Connected || connection != generation_)
        return;
    mosquitto_unsubscribe(mosq_, nullptr, filter.constData());
    updateWrite();
}

void MqttClient::standDown(quint64 connection, const QString& why)
{
    if ((state_ != State::Connecting && state_ != State::Connected) || connection != generation_)
        return;
    connackTimer_.stop();
    if (why != standDownLogged_)
        qCCritical(lcMqtt).noquote() << why + QStringLiteral("; give each daemon its own id (--id or [topics] id). "
                                                              "Trying again every 30 s");
    standDownLogged_ = why;
    if (state_ == State::Connected)
        emit disconnected();
    state_ = State::Waiting;
    unacknowledged_.clear();
    mosquitto_disconnect(mosq_);
    if (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_))
        mosquitto_loop_write(mosq_, 1);
    dropSocket();
    dropHandle();
    backoffSeconds_ = 30;
    retryTimer_.start(30 * 1000);
}

void MqttClient::publish(quint64 connection, const QByteArray& topic, const QByteArray& payload, bool retain)
{
    if (state_ != State::Connected || connection != generation_)
        return;
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.constData(), static_cast<int>(payload.size()),
                          payload.constData(), 1, retain) == MOSQ_ERR_SUCCESS)
        unacknowledged_.insert(mid);
    updateWrite();
}

void MqttClient::acknowledged(quint64 generation, int mid)
{
    if (generation != generation_)
        return;
    unacknowledged_.erase(mid);
    if (state_ == State::Finishing && unacknowledged_.empty())
        disconnectNow();
}

void MqttClient::finish(int timeoutMs)
{
    retryTimer_.stop();
    connackTimer_.stop();
    if (state_ != State::Connected) {
        state_ = State::Finished;
        QMetaObject::invokeMethod(this, &MqttClient::finished, Qt::QueuedConnection);
        return;
    }
    state_ = State::Finishing;
    finishTimer_.start(timeoutMs);
    if (unacknowledged_.empty())
        disconnectNow();
}

void MqttClient::disconnectNow()
{
    if (state_ != State::Finishing)
        return;
    state_ = State::Finished;
    finishTimer_.stop();
    miscTimer_.stop();
    mosquitto_disconnect(mosq_);
    if (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_))
        mosquitto_loop_write(mosq_, 1);
    dropSocket();
    QMetaObject::invokeMethod(this, &MqttClient::finished, Qt::QueuedConnection);
}

// The library's callbacks run inside its loop calls: they only queue.

void MqttClient::onConnect(mosquitto*, void* self, int rc)
{
    auto* client = static_cast<MqttClient*>(self);
    QMetaObject::invokeMethod(
        client, [client, generation = client->generation_, rc] { client->connectedAck(generation, rc); },
        Qt::QueuedConnection);
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*)
{
    auto* client = static_cast<MqttClient*>(self);
    const QString why = reason(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc, errno);
    QMetaObject::invokeMethod(
        client,
        [client, generation = client->generation_, why, takenOver = rc == MQTT_RC_SESSION_TAKEN_OVER] {
            client->lost(generation, why, takenOver);
        },
        Qt::QueuedConnection);
}

void MqttClient::onPublish(mosquitto*, void* self, int mid)
{
    auto* client = static_cast<MqttClient*>(self);
    QMetaObject::invokeMethod(
        client, [client, generation = client->generation_, mid] { client->acknowledged(generation, mid); },
        Qt::QueuedConnection);
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* client = static_cast<MqttClient*>(self);
    QByteArray topic(message->topic);
    if (message->payloadlen > MaxPayload) {
        QMetaObject::invokeMethod(
            client,
            [topic = std::move(topic), size = message->payloadlen] {
                qCWarning(lcMqtt).noquote() << "ignored a message of" << size << "bytes on"
                                            << MqttPayloads::quoted(topic, 200) + QLatin1Char(':')
                                            << "over the limit of" << MaxPayload << "bytes";
            },
            Qt::QueuedConnection);
        return;
    }
    QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    QMetaObject::invokeMethod(
        client,
        [client, topic = std::move(topic), payload = std::move(payload), retained = message->retain] {
            emit client->messageReceived(topic, payload, retained);
        },
        Qt::QueuedConnection);
}

void MqttClient::onLog(mosquitto*, void* self, int level, const char* text)
{
    if (level != MOSQ_LOG_ERR)
        return;
    auto* client = static_cast<MqttClient*>(self);
    QMetaObject::invokeMethod(
        client,
        [client, line = QString::fromLocal8Bit(text)] {
            // Said with the failure it caused (see lost()).
            client->libraryError_ += (client->libraryError_.isEmpty() ? QString() : QStringLiteral("; ")) + line;
        },
        Qt::QueuedConnection);
}
