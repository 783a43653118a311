#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <set>
#include <vector>

class QSocketNotifier;
struct mosquitto;

// An MQTT client on libmosquitto, driven by the Qt event loop of the thread
// it lives on: the library runs unthreaded, its socket is watched by socket
// notifiers and its housekeeping runs from a timer. Library callbacks only
// queue work into the event loop. Speaks MQTT 5; connects with a clean
// session and a retained last will; subscribes with retain-as-published, so
// messageReceived() tells a message retained on the broker from one sent now;
// reconnects after every loss with a back-off growing from 1 s to 30 s, for
// ever. Everything is published with QoS 1.
//
// A name lookup inside the library blocks the calling thread (for as long as
// a name server keeps silent), so the client belongs on a thread of its own;
// whoever talks to it from another thread does so through queued calls, and
// names the connection a request is meant for (see connected()). Each attempt
// gets a fresh library handle: nothing the library queued on one connection
// is ever sent on the next.
class MqttClient final : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString host = QStringLiteral("localhost");
        int port = 1883;
        QByteArray clientId;
        QString username;
        QString password;
        QString cafile;  // TLS when set
        QString certfile;
        QString keyfile;
        QByteArray willTopic;
        QByteArray willPayload;
        int keepAliveSeconds = 30;
        // Where another client with this id says it is online, and which
        // run it is: when set, each attempt first looks there with a
        // throwaway id, and waits while another run is online.
        QByteArray busyTopic;
        QByteArray instanceTopic;
    };

    // MqttClient
    //   A client that does nothing until start().
    // Parameters:
    //   options - the broker, the credentials and TLS files, the last will
    explicit MqttClient(Options options, QObject* parent = nullptr);
    ~MqttClient() override;

    // start
    //   Sets the library's client up and starts connecting; connected() follows
    //   each successful connection, and every loss is retried with a back-off.
    // Returns:
    //   an empty text, or why the client cannot be set up (TLS files that do
    //   not load, say); nothing is started then.
    // See also: finish, connected
    QString start();

    // subscribe
    //   Subscribes at QoS 1 with retain-as-published. Dropped unless
    //   connection is the present one: subscribe again on connected().
    // Parameters:
    //   connection - the connection connected() named
    //   filters  - topic filters
    //   commands - true for commands: with No Local and retained messages never
    //              sent, so neither the client's own publishes nor retained
    //              messages come back
    // See also: unsubscribe, messageReceived
    void subscribe(quint64 connection, const std::vector<QByteArray>& filters, bool commands = false);

    // unsubscribe
    // Parameters:
    //   connection - the connection connected() named
    //   filter - a filter given to subscribe() before
    void unsubscribe(quint64 connection, const QByteArray& filter);

    // publish
    //   Publishes at QoS 1. Dropped unless connection is the present one:
    //   whoever publishes says everything again on connected().
    // Parameters:
    //   connection - the connection connected() named
    //   topic   - the topic
    //   payload - any bytes; empty with retain clears a retained message
    //   retain  - whether the broker keeps it for later subscribers
    // See also: finish
    void publish(quint64 connection, const QByteArray& topic, const QByteArray& payload, bool retain = true);

    // standDown
    //   Another client uses this client's id: logs why (once while it lasts),
    //   disconnects, and tries again in 30 s. Ignored unless connection is
    //   the present one.
    // Parameters:
    //   connection - the connection connected() named
    //   why - the reason for the log
    // See also: connected
    void standDown(quint64 connection, const QString& why);

    // How long the broker has to answer a connection it accepted.
    static constexpr int ConnackTimeoutMs = 10'000;
    // How long a look before an attempt may take, and the wait while another
    // client with this id is online.
    static constexpr int LookMs = 3000;
    static constexpr int BusyRetryMs = 30'000;

    // The run this client is: a look that finds it online goes on.
    void setInstance(const QByteArray& instance) { instance_ = instance; }

    // The largest payload taken; larger ones are dropped with a log line
    // before they are copied.
    static constexpr int MaxPayload = 1024 * 1024;

    // finish
    //   Waits for the broker to acknowledge what was published, disconnects,
    //   and emits finished(); at once when not connected.
    // Parameters:
    //   timeoutMs - the longest wait for the acknowledgements
    // See also: finished
    void finish(int timeoutMs);

signals:
    // The broker accepted a connection. connection numbers it for the
    // requests meant for it; takenOver says whether the broker's last word
    // before it was that another client took this client's session over
    // (MQTT 5 reason "session taken over").
    void connected(quint64 connection, bool takenOver);
    // The connection that connected() announced is gone.
    void disconnected();
    void messageReceived(const QByteArray& topic, const QByteArray& payload, bool retained);
    void finished();

private:
    enum class State { Idle, Connecting, Connected, Waiting, Finishing, Finished };

    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc, const struct mqtt5__property*);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const struct mosquitto_message* message);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    QString newHandle();
    void dropHandle();
    void connectNow();
    QString configure(mosquitto* handle) const;
    // Whether another run with this client's id is online, by its retained
    // availability and instance; false when the look fails.
    bool othersOnline();
    void connectedAck(quint64 generation, int rc);
    void connackLate(quint64 generation);
    void lost(quint64 generation, const QString& why, bool takenOver = false, bool whole = false);
    void acknowledged(quint64 generation, int mid);
    void afterLoop(int rc);
    void watchSocket();
    void dropSocket();
    void updateWrite();
    void disconnectNow();

    Options options_;
    mosquitto* mosq_ = nullptr;
    State state_ = State::Idle;
    quint64 generation_ = 0;  // one per connection attempt
    int backoffSeconds_ = 1;
    bool failureLogged_ = false;
    bool takenOver_ = false;
    QString loggedFailure_;     // the reason in the last line about failed attempts
    QString libraryError_;      // what the library said went wrong in this attempt
    QString standDownLogged_;   // the reason for standing down last logged
    QByteArray instance_;
    bool busyLogged_ = false;
    QString refusal_;           // the broker's answer when it refused us
    int fd_ = -1;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    // Children, so that they move with the client to its thread.
    QTimer miscTimer_{this};
    QTimer retryTimer_{this};
    QTimer finishTimer_{this};
    QTimer connackTimer_{this};
    std::set<int> unacknowledged_;  // publishes awaited by finish()
};
