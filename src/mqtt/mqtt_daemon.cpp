#include "mqtt/mqtt_daemon.h"

#include "engine/device/ftdi_library.h"
#include "engine/control/control_lines.h"
#include "engine/device/holder_list.h"
#include "mqtt/control_server.h"
#include "engine/signal_watcher.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

MqttDaemon::MqttDaemon(BoardService& service, const DaemonConfig& config, QObject* parent)
    : QObject(parent),
      config_(config),
      thread_(new QThread),
      client_(new MqttClient(config.broker)),
      bridge_(service, RelayBridge::Settings{config.topics, config.discovery},
              [this](const QByteArray& topic, const QByteArray& payload) {
                  toClient([connection = connection_, topic, payload](MqttClient& c) { c.publish(connection, topic, payload); });
              })
{
    thread_->setObjectName(QStringLiteral("broker"));
    client_->moveToThread(thread_);
    // The retained markers are read first: a probe sent to this daemon itself
    // arrives after all of them (the broker keeps the order).
    connect(client_, &MqttClient::connected, this, [this](quint64 connection, bool takenOver) {
        connection_ = connection;
        takenOver_ = takenOver;
        heardInstance_.clear();
        toClient([connection, filters = bridge_.topics().readBack(), probe = bridge_.topics().bridge("probe"),
                  payload = QByteArray::number(++probe_)](MqttClient& c) {
            c.subscribe(connection, filters);
            c.publish(connection, probe, payload, false);
        });
    });
    connect(client_, &MqttClient::messageReceived, this, &MqttDaemon::received);
    connect(client_, &MqttClient::disconnected, this, [this] { bridge_.brokerLost(); });
    bridge_.setSubscriber([this](const QByteArray& filter, bool on) {
        toClient([connection = connection_, filter, on](MqttClient& c) {
            if (on)
                c.subscribe(connection, {filter}, true);
            else
                c.unsubscribe(connection, filter);
        });
    });
    connect(client_, &MqttClient::finished, this, &MqttDaemon::finished);
    goodbye_.setSingleShot(true);
    connect(&goodbye_, &QTimer::timeout, this, [this] {
        qCWarning(lcMqtt) << "the broker had no time for a goodbye; stopping without it";
        emit finished();
    });
}

MqttDaemon::~MqttDaemon()
{
    if (thread_ && !thread_->isRunning()) {
        delete client_;
        delete thread_;
    }
    // else stopClient() found them busy: the process ends without them.
}

void MqttDaemon::toClient(std::function<void(MqttClient&)> call)
{
    if (client_)
        QMetaObject::invokeMethod(client_, [client = client_, call = std::move(call)] { call(*client); }, Qt::QueuedConnection);
}

QString MqttDaemon::start()
{
    qCInfo(lcMqtt).noquote() << "broker" << config_.broker.host + QLatin1Char(':') + QString::number(config_.broker.port)
                             << (config_.broker.cafile.isEmpty() ? "without TLS" : "with TLS")
                             << "- topics" << QString::fromUtf8(config_.topics.base + "/...")
                             << "- id" << QString::fromUtf8(config_.topics.id);
    thread_->start();
    // Sets the library up there (the TLS files are loaded): no name is
    // looked up before start() returns, the first attempt is queued.
    QString error;
    QMetaObject::invokeMethod(client_, [this, &error] { error = client_->start(); }, Qt::BlockingQueuedConnection);
    return error;
}

bool MqttDaemon::stopClient(int waitMs)
{
    if (!thread_->isRunning())
        return true;
    MqttClient* client = std::exchange(client_, nullptr);
    QMetaObject::invokeMethod(client, [client] {
        delete client;
        QThread::currentThread()->quit();
    }, Qt::QueuedConnection);
    if (thread_->wait(QDeadlineTimer(waitMs)))
        return true;
    qCWarning(lcMqtt) << "the broker's thread does not answer (a name lookup, most likely); exiting without it";
    thread_ = nullptr;  // neither joined nor destroyed
    return false;
}

void MqttDaemon::received(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const MqttPayloads::Topics& topics = bridge_.topics();
    const QString sameId = QStringLiteral("another daemon uses the id %1 on this broker")
                               .arg(QString::fromUtf8(topics.id));
    if (topic == topics.bridge("instance")) {
        // Before the probe: the run that published last. After it, another
        // run says it is here now.
        heardInstance_ = payload;
        if (learned_ == probe_ && !takenOver_ && !payload.isEmpty() && payload != instance_)
            toClient([connection = connection_, sameId](MqttClient& c) { c.standDown(connection, sameId); });
    } else if (topic != topics.bridge("probe")) {
        bridge_.handleMessage(topic, payload, retained);
    } else if (payload == QByteArray::number(probe_)) {
        // This run served before, and another one with this id has served
        // since: the broker hands the id to two clients in turn. One that
        // has not served again since this daemon last stood down is gone.
        // (After a takeover the broker said so, and the other run stands down.)
        if (learned_ && !takenOver_ && !heardInstance_.isEmpty() && heardInstance_ != instance_ &&
            heardInstance_ != standDownFor_) {
            standDownFor_ = heardInstance_;
            return toClient([connection = connection_, sameId](MqttClient& c) { c.standDown(connection, sameId); });
        }
        learned_ = probe_;
        instance_ = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        toClient([connection = connection_, availability = topics.bridgeAvailability(), instance = topics.bridge("instance"),
                  nonce = instance_](MqttClient& c) {
            c.setInstance(nonce);
            c.publish(connection, availability, QByteArrayLiteral("online"));
            c.publish(connection, instance, nonce);
        });
        bridge_.markersLearned();
    }
}

void MqttDaemon::goodbye()
{
    bridge_.publishOffline();
    // The client may be stuck in a name lookup and never get to this.
    goodbye_.start(GoodbyeMs);
    toClient([](MqttClient& c) { c.finish(GoodbyeMs - 50); });
}

namespace {
// The service: its boards, its MQTT side when there is one, and
// SIGTERM/SIGINT/SIGHUP for a clean exit: pulses and cycles end at once, a
// cycle's make that waits for its dead time is written, the broker hears
// goodbye, and the boards are let go as they are.
class Service final : public QObject {
public:
    Service(UsbLibrary& library, const DaemonConfig& config)
        : signals_({SIGTERM, SIGINT, SIGHUP}),
          boards_(library, BoardService::Settings{config.serials, config.boards, 2000, config.nodeNames,
                                                  qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0),
                                                  holderList(),
                                                  config.mqtt ? config.topics.base + '/' : QByteArray()}),
          config_(config)
    {
        connect(&signals_, &SignalWatcher::received, this, &Service::shutDown);
        if (config.mqtt) {
            mqtt_ = std::make_unique<MqttDaemon>(boards_, config);
            connect(mqtt_.get(), &MqttDaemon::finished, this, [] { QCoreApplication::exit(0); });
        }
    }

    QString start()
    {
        if (!signals_.isValid())  // before the client's thread starts, which inherits the blocked signals
            return QStringLiteral("cannot watch for SIGTERM, SIGINT and SIGHUP");
        qCInfo(lcMqtt).noquote() << "settings from" << (config_.file.isEmpty() ? QStringLiteral("defaults") : config_.file)
                                 << (config_.mqtt ? "- MQTT on" : "- MQTT off: no broker named");
        if (!config_.boards.file.isEmpty())
            qCInfo(lcMqtt).noquote() << "board names from" << config_.boards.file;
        if (!config_.serialsWarning.isEmpty())
            qCWarning(lcMqtt).noquote() << config_.serialsWarning;
        if (mqtt_)
            if (const QString error = mqtt_->start(); !error.isEmpty())
                return error;
        const std::optional<gid_t> plugdev = ControlServer::plugdev();
        boards_.start();
        // After the first look at the bus: a client finds the boards there.
        if (const QString error = control_.listen(socketPath(), plugdev); !error.isEmpty())
            qCWarning(lcMqtt).noquote() << error << "- local clients cannot switch the boards it holds";
        return {};
    }

    // Lets the boards go; whether the broker's thread ended (see MqttDaemon::stopClient).
    bool stop()
    {
        control_.close();
        boards_.close();
        return !mqtt_ || mqtt_->stopClient(100);
    }

private:
    // Where the list of the boards held and the control socket go: the
    // unit's runtime folder, unless the environment names others.
    static QString runtime(const QString& name, const QString& fallback)
    {
        const QString folder = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
        return folder.isEmpty() ? fallback : folder + QLatin1Char('/') + name;
    }
    static QString holderList() { return runtime(QStringLiteral("boards"), HolderList::defaultPath()); }
    static QString socketPath()
    {
        return qEnvironmentVariableIsSet("KESTRUNE_SOCKET") ? ControlLines::socketPath() : runtime(QStringLiteral("control"), ControlLines::socketPath());
    }

    void shutDown()
    {
        if (std::exchange(shuttingDown_, true))
            return;
        qCInfo(lcMqtt) << "stopping; pulses and cycles end now, the relays stay as they are";
        boards_.finishPulses();
        whenSettled();
    }

    // A cycle's make that waits for its dead time is written first: the
    // boards' timers go on until then (the broker's side is not held up).
    void whenSettled()
    {
        if (!boards_.settled())
            return QTimer::singleShot(10, this, &Service::whenSettled);
        if (mqtt_)
            mqtt_->goodbye();
        else
            QCoreApplication::exit(0);
    }

    SignalWatcher signals_;
    BoardService boards_;
    ControlServer control_{boards_};
    DaemonConfig config_;
    std::unique_ptr<MqttDaemon> mqtt_;
    bool shuttingDown_ = false;
};
}  // namespace

int runBoardService(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // A broker that went away must not end the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication::setApplicationName(QStringLiteral("kestruned"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRUNE_VERSION));
    const auto loaded = loadDaemonConfig(QCoreApplication::arguments());
    if (const auto* exit = std::get_if<ConfigExit>(&loaded)) {
        std::fputs(qPrintable((exit->code == 0 ? QString() : QStringLiteral("kestruned: ")) + exit->text +
                              (exit->text.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n"))),
                   exit->code == 0 ? stdout : stderr);
        return exit->code;
    }
    FtdiLibrary library;
    library.setHolderSettleMs(0);  // the boards' thread never sleeps
    int code = 1;
    bool clientEnded = true;
    {
        Service service(library, std::get<DaemonConfig>(loaded));
        if (const QString error = service.start(); !error.isEmpty())
            std::fprintf(stderr, "kestruned: %s\n", qPrintable(error));
        else
            code = QCoreApplication::exec();
        clientEnded = service.stop();
    }
    if (!clientEnded) {
        // A thread in a name lookup is neither joined nor destroyed: the
        // process ends around it.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(code);
    }
    return code;
}
