// MqttClient against a stand-in for libmosquitto's handle calls, which
// behaves as the library does where it matters here: a QoS 1 publish on a
// handle that lost its connection returns MOSQ_ERR_NO_CONN, yet is kept and
// sent right after that handle's next connect. The test plays the broker:
// it accepts a handle's connection, or lets the library lose it.
#include "mqtt/mqtt_client.h"

#include <QtTest>

#include <mosquitto.h>

#include <sys/socket.h>
#include <unistd.h>

struct mosquitto {
    enum { Idle, Connecting, Up, Lost } state = Idle;
    void* self = nullptr;
    void (*onConnect)(mosquitto*, void*, int) = nullptr;
    void (*onDisconnect)(mosquitto*, void*, int, const mosquitto_property*) = nullptr;
    int fds[2] = {-1, -1};
    QByteArrayList kept;  // published while not up, sent after the next connect
    void closeSocket()
    {
        for (int& fd : fds)
            if (fd >= 0)
                ::close(std::exchange(fd, -1));
    }
};

namespace {
std::vector<mosquitto*> handles;  // alive, the newest last
int attempts = 0;
QByteArrayList sent;  // what reached the broker, "TOPIC PAYLOAD"
}  // namespace

extern "C" {
mosquitto* mosquitto_new(const char*, bool, void* self)
{
    handles.push_back(new mosquitto);
    handles.back()->self = self;
    return handles.back();
}
void mosquitto_destroy(mosquitto* m)
{
    std::erase(handles, m);
    m->closeSocket();
    delete m;
}
int mosquitto_int_option(mosquitto*, mosq_opt_t, int) { return MOSQ_ERR_SUCCESS; }
int mosquitto_username_pw_set(mosquitto*, const char*, const char*) { return MOSQ_ERR_SUCCESS; }
int mosquitto_will_set(mosquitto*, const char*, int, const void*, int, bool) { return MOSQ_ERR_SUCCESS; }
void mosquitto_connect_callback_set(mosquitto* m, void (*f)(mosquitto*, void*, int)) { m->onConnect = f; }
void mosquitto_disconnect_v5_callback_set(mosquitto* m, void (*f)(mosquitto*, void*, int, const mosquitto_property*)) { m->onDisconnect = f; }
void mosquitto_publish_callback_set(mosquitto*, void (*)(mosquitto*, void*, int)) {}
void mosquitto_message_callback_set(mosquitto*, void (*)(mosquitto*, void*, const mosquitto_message*)) {}
void mosquitto_log_callback_set(mosquitto*, void (*)(mosquitto*, void*, int, const char*)) {}
int mosquitto_connect_async(mosquitto* m, const char*, int, int)
{
    ++attempts;
    m->closeSocket();
    m->state = mosquitto::Connecting;
    return ::socketpair(AF_UNIX, SOCK_STREAM, 0, m->fds) == 0 ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
}
int mosquitto_socket(mosquitto* m) { return m->state == mosquitto::Connecting || m->state == mosquitto::Up ? m->fds[0] : -1; }
int mosquitto_loop_read(mosquitto*, int) { return MOSQ_ERR_SUCCESS; }
int mosquitto_loop_write(mosquitto*, int) { return MOSQ_ERR_SUCCESS; }
int mosquitto_loop_misc(mosquitto*) { return MOSQ_ERR_SUCCESS; }
bool mosquitto_want_write(mosquitto*) { return false; }
int mosquitto_subscribe_v5(mosquitto*, int*, const char*, int, int, const mosquitto_property*) { return MOSQ_ERR_SUCCESS; }
int mosquitto_unsubscribe(mosquitto*, int*, const char*) { return MOSQ_ERR_SUCCESS; }
int mosquitto_disconnect(mosquitto* m) { return m->state = mosquitto::Idle, MOSQ_ERR_SUCCESS; }
int mosquitto_publish(mosquitto* m, int* mid, const char* topic, int size, const void* payload, int, bool)
{
    *mid = 1;
    const bool up = m->state == mosquitto::Up;
    (up ? sent : m->kept) << topic + (' ' + QByteArray(static_cast<const char*>(payload), size));
    return up ? MOSQ_ERR_SUCCESS : MOSQ_ERR_NO_CONN;
}
}

class MqttClientTest : public QObject {
    Q_OBJECT

    // The broker accepts the newest handle's connection, attempt n: the
    // handle sends what it kept, then says it is connected.
    static void accept(int n)
    {
        QTRY_COMPARE_WITH_TIMEOUT(attempts, n, 5000);  // a retry comes after 1 s
        mosquitto* m = handles.back();
        m->state = mosquitto::Up;
        sent << std::exchange(m->kept, {});
        m->onConnect(m, m->self, 0);
    }
    // The library loses the newest handle's connection, and tells the client later.
    static void lose() { handles.back()->state = mosquitto::Lost; }
    static void tell() { handles.back()->onDisconnect(handles.back(), handles.back()->self, MOSQ_ERR_CONN_LOST, nullptr); }

private slots:
    // The daemon publishes for a connection that is gone: the library lost
    // it and the client has not heard yet, then after the client has
    // connected again. None of it reaches the broker on the next connection.
    void staleRequests()
    {
        MqttClient client({});
        std::vector<quint64> connections;
        connect(&client, &MqttClient::connected, this, [&](quint64 connection) { connections.push_back(connection); });
        QCOMPARE(client.start(), QString());
        accept(1);
        QTRY_COMPARE(connections.size(), size_t(1));
        client.publish(connections[0], "kt/n/owner", "test");
        QCOMPARE(sent, QByteArrayList{"kt/n/owner test"});

        lose();
        client.publish(connections[0], "kt/n/owner", "stale, not told yet");
        tell();
        accept(2);
        QTRY_COMPARE(connections.size(), size_t(2));
        client.publish(connections[0], "kt/n/owner", "stale, connected again since");
        client.publish(connections[1], "kt/n/owner", "again");
        QCOMPARE(sent, (QByteArrayList{"kt/n/owner test", "kt/n/owner again"}));
    }
};

QTEST_GUILESS_MAIN(MqttClientTest)
#include "tst_mqtt_client.moc"
