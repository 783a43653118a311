#include "mqtt/control_server.h"

#include "engine/control/control_lines.h"
#include "engine/device/relay_board.h"
#include "engine/printable.h"
#include "mqtt/daemon_log.h"
#include "mqtt/held_board.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using ControlLines::refusal;

namespace {
QJsonObject answer(qint64 id, QJsonObject more = {})
{
    more.insert(QStringLiteral("id"), id);
    more.insert(QStringLiteral("ok"), true);
    return more;
}

QJsonObject eventLine(qint64 id, const QString& name, QJsonObject more = {})
{
    more.insert(QStringLiteral("id"), id);
    more.insert(QStringLiteral("event"), name);
    return more;
}

// A whole number from low to high, or nothing.
std::optional<int> number(const QJsonValue& value, int low, int high)
{
    const double n = value.toDouble(-1.5);
    return n >= low && n <= high && n == double(int(n)) ? std::optional<int>(int(n)) : std::nullopt;
}
}  // namespace

// One client: its requests in the order they come, the answers and events
// of each, and the limits that keep one client from holding up the others.
class ControlServer::Connection final : public QObject {
public:
    Connection(ControlServer& server, QLocalSocket* socket)
        : server_(server), socket_(socket)
    {
        socket_->setParent(this);
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
            peer_ = QStringLiteral("uid %1 pid %2").arg(peer.uid).arg(peer.pid);
        connect(socket_, &QLocalSocket::readyRead, this, &Connection::read);
        connect(socket_, &QLocalSocket::bytesWritten, this, [this] { drained_.start(); });
        connect(socket_, &QLocalSocket::disconnected, this, [this] { close(), forgotten(); });
        const Limits& limits = server_.limits_;
        watchdog_.start(std::min(limits.stalledMs, limits.halfLineMs) / 5);
        connect(&watchdog_, &QTimer::timeout, this, [this, &limits] {
            if (socket_->bytesToWrite() > 0 && drained_.elapsed() > limits.stalledMs)
                return drop(QStringLiteral("it read nothing for %1 ms").arg(limits.stalledMs));
            if (reader_.partial() && heard_.elapsed() > limits.halfLineMs)
                return drop(QStringLiteral("it sent part of a line and no more for %1 ms").arg(limits.halfLineMs));
        });
        drained_.start();
        heard_.start();
    }

    bool closed() const { return closed_; }

    // The client is gone or dropped: the programs it plays stop (off at the
    // end where asked); its pulses end on time all the same.
    void close()
    {
        if (std::exchange(closed_, true))
            return;
        for (auto& [id, job] : jobs_)
            if (job.kind == Job::Play && job.playing)
                if (HeldBoard* held = board(job.board)) {
                    job.playing = false;
                    held->player().stop();
                    if (job.offAtEnd)
                        held->set(0xFF, 0);
                }
        while (!jobs_.empty())
            forget(jobs_.begin());
        // What was said goes out first, for a second at most.
        if (socket_->state() == QLocalSocket::ConnectedState && socket_->bytesToWrite() > 0) {
            socket_->disconnectFromServer();
            QTimer::singleShot(1000, this, [this] { socket_->abort(), forgotten(); });
        } else {
            socket_->abort();
        }
        forgotten();
    }

    // Gone for good once its socket is.
    bool gone() const { return closed_ && socket_->state() == QLocalSocket::UnconnectedState; }

private:
    void forgotten()
    {
        QTimer::singleShot(0, &server_, [server = &server_] {
            std::erase_if(server->connections_, [](const auto& c) { return c->gone(); });
        });
    }

    static constexpr int MaxJobs = 1024;  // requests of one connection under way

    struct Job {
        enum Kind { Switch, Play } kind = Switch;
        QByteArray board;
        std::uint8_t mask = 0;
        // A program: its rows as they come, how it plays, where it stands.
        std::vector<QByteArray> rows;
        int tickMs = 1;
        bool repeat = false, offAtEnd = false, steps = true, loading = false, playing = false, ending = false;
        QString failure, summary;
        QJsonObject figures;  // the lateness of its steps, as numbers
        std::vector<QMetaObject::Connection> watching;  // what the job follows, let go with it
    };

    // The job is over: what it followed is let go.
    void forget(std::map<qint64, Job>::iterator it)
    {
        for (const QMetaObject::Connection& c : it->second.watching)
            disconnect(c);
        jobs_.erase(it);
    }
    bool forget(qint64 id)
    {
        const auto it = jobs_.find(id);
        return it != jobs_.end() ? (forget(it), true) : false;
    }

    HeldBoard* board(const QByteArray& name) const
    {
        BoardService::Entry* entry = server_.service_.entry(name);
        return entry && entry->held ? entry->held.get() : nullptr;
    }

    void send(const QJsonObject& object)
    {
        if (closed_)
            return;
        if (socket_->bytesToWrite() == 0)
            drained_.start();
        socket_->write(ControlLines::line(object));
        if (socket_->bytesToWrite() > server_.limits_.unread)
            drop(QStringLiteral("it left more than %1 bytes unread").arg(server_.limits_.unread));
    }

    void drop(const QString& why)
    {
        qCWarning(lcMqtt).noquote() << "dropped a control client" << QLatin1Char('(') + peer_ + QLatin1String("):") << why;
        close();
    }

    void read()
    {
        heard_.start();
        if (!reader_.feed(socket_->readAll())) {
            send(refusal(0, QStringLiteral("bad"), QStringLiteral("a line is longer than %1 bytes").arg(ControlLines::MaxLine)));
            socket_->flush();
            return drop(QStringLiteral("it sent a line longer than %1 bytes").arg(ControlLines::MaxLine));
        }
        while (!closed_)
            if (const std::optional<QByteArray> line = reader_.next())
                handle(*line);
            else
                break;
    }

    void handle(const QByteArray& line)
    {
        const Outcome<ControlLines::Message> message = ControlLines::parse(line, true);
        if (!message.ok())
            return send(refusal(0, QStringLiteral("bad"), message.error));
        const qint64 id = message.value->id;
        const QJsonObject& o = message.value->object;
        const QString op = message.value->op();
        if (op == QLatin1String("hello")) {
            hello_ = o.value(QStringLiteral("version")).toInt(-1) == ControlLines::Version;
            return send(hello_ ? answer(id, {{QStringLiteral("version"), ControlLines::Version}})
                               : refusal(id, QStringLiteral("version"), QStringLiteral("this service speaks version %1 of the protocol").arg(ControlLines::Version)));
        }
        if (!hello_)
            return send(refusal(id, QStringLiteral("version"), QStringLiteral("a connection starts with a hello")));
        if (op == QLatin1String("rows"))
            return rows(id, o);
        if (op == QLatin1String("finish") || op == QLatin1String("stop"))
            return end(id, o, op == QLatin1String("stop"));
        if (jobs_.count(id))
            return send(refusal(id, QStringLiteral("bad"), QStringLiteral("the id %1 is in use").arg(id)));
        if (jobs_.size() >= std::size_t(MaxJobs))
            return send(refusal(id, QStringLiteral("busy"), QStringLiteral("this connection has %1 requests under way").arg(MaxJobs)));
        // The board: the one the service holds at that port.
        const QString port = o.value(QStringLiteral("port")).toString();
        QByteArray name;
        for (const auto& [n, entry] : server_.service_.entries())
            if (entry->online() && !port.isEmpty() && entry->info.port == port)
                name = n;
        HeldBoard* held = board(name);
        if (!held)
            return send(refusal(id, QStringLiteral("unheld"), QStringLiteral("the service holds no board at port %1").arg(port)));
        if (op == QLatin1String("get"))
            return send(answer(id, {{QStringLiteral("pins"), QString::fromLatin1(RelayPattern::toText(held->pins()))}}));
        if (op == QLatin1String("set") || op == QLatin1String("pulse"))
            return switchRelays(id, o, name, *held, op == QLatin1String("pulse"));
        if (op == QLatin1String("play"))
            return play(id, o, name);
        send(refusal(id, QStringLiteral("bad"), QStringLiteral("unknown op \"%1\"").arg(printableText(op.left(40)))));
    }

    void switchRelays(qint64 id, const QJsonObject& o, const QByteArray& name, HeldBoard& held, bool pulse)
    {
        std::uint8_t mask = 0;
        QString error;
        if (pulse) {
            const QJsonArray lengths = o.value(QStringLiteral("ms")).toArray();
            std::array<int, 8> ms{};
            for (int relay = 0; relay < 8 && lengths.size() == 8; ++relay)
                if (const auto n = number(lengths[relay], 0, 24 * 3600 * 1000))
                    ms[std::size_t(relay)] = *n, mask |= *n ? RelayPattern::bit(relay + 1) : 0;
                else
                    mask = 0, relay = 8;
            if (!mask)
                return send(refusal(id, QStringLiteral("bad"), QStringLiteral("a pulse needs \"ms\": eight lengths from 0 to 86400000, one above 0")));
            log(id, QStringLiteral("%1 board %2 relays %3").arg(o.value(QStringLiteral("cycle")).toBool() ? "cycles" : "pulses", QString::fromUtf8(name),
                                                           QString::fromLatin1(RelayPattern::toText(mask))));
            error = held.pulse(o.value(QStringLiteral("cycle")).toBool(), ms);
        } else {
            const auto m = number(o.value(QStringLiteral("mask")), 0, 255), levels = number(o.value(QStringLiteral("levels")), 0, 255);
            if (!m || !levels)
                return send(refusal(id, QStringLiteral("bad"), QStringLiteral("a set needs \"mask\" and \"levels\" from 0 to 255")));
            mask = std::uint8_t(*m);
            log(id, QStringLiteral("sets board %1 relays %2 to %3").arg(QString::fromUtf8(name), QString::fromLatin1(RelayPattern::toText(mask)),
                                                                        QString::fromLatin1(RelayPattern::toText(std::uint8_t(*levels)))));
            error = held.set(mask, std::uint8_t(*levels));
        }
        if (!error.isEmpty())
            return send(refusal(id, QStringLiteral("refused"), error));
        send(answer(id));
        Job& job = jobs_[id];
        job.board = name;
        job.mask = mask;
        follow(id, held);
    }

    // Says "done" once nothing of the request is pending on its board, or
    // "failed" when a timed write fails.
    void follow(qint64 id, HeldBoard& held)
    {
        BoardTimeline& timeline = held.timeline();
        const auto check = [this, id, &timeline] {
            const auto it = jobs_.find(id);
            if (it == jobs_.end() || ((timeline.pendingMakes() | timeline.pendingEdges()) & it->second.mask))
                return;
            forget(it);
            send(eventLine(id, QStringLiteral("done")));
        };
        // A later request on its relays, or one that drops what it left, may end it too.
        std::vector<QMetaObject::Connection>& watching = jobs_[id].watching;
        watching.push_back(connect(&timeline, &BoardTimeline::pendingChanged, this, check));
        watching.push_back(connect(&timeline, &BoardTimeline::writeFailed, this, [this, id](const QString& what) {
            if (forget(id))
                send(eventLine(id, QStringLiteral("failed"), {{QStringLiteral("error"), what}}));
        }));
        watching.push_back(connect(&held, &QObject::destroyed, this, [this, id] {
            if (forget(id))
                send(eventLine(id, QStringLiteral("failed"), {{QStringLiteral("code"), QStringLiteral("gone")},
                                                          {QStringLiteral("error"), QStringLiteral("the board was pulled out")}}));
        }));
        check();
    }

    void play(qint64 id, const QJsonObject& o, const QByteArray& name)
    {
        const auto tick = number(o.value(QStringLiteral("tick")), 1, 60000);
        if (!tick)
            return send(refusal(id, QStringLiteral("bad"), QStringLiteral("a play needs \"tick\" from 1 to 60000")));
        Job& job = jobs_[id];
        job.kind = Job::Play;
        job.board = name;
        job.tickMs = *tick;
        job.repeat = o.value(QStringLiteral("repeat")).toBool();
        job.offAtEnd = o.value(QStringLiteral("off_at_end")).toBool();
        job.steps = o.value(QStringLiteral("steps")).toBool(true);
        job.loading = true;
        rows(id, o);
    }

    // A chunk of a program's rows; the last one starts it.
    void rows(qint64 id, const QJsonObject& o)
    {
        const auto it = jobs_.find(o.contains(QStringLiteral("of")) ? qint64(o.value(QStringLiteral("of")).toDouble(-1)) : id);
        if (it == jobs_.end() || !it->second.loading)
            return send(refusal(id, QStringLiteral("bad"), QStringLiteral("no program of this connection waits for rows")));
        Job& job = it->second;
        const qint64 of = it->first;
        for (const QJsonValue& row : o.value(QStringLiteral("rows")).toArray())
            job.rows.push_back(row.toString().toLatin1());
        if (job.rows.size() > std::size_t(server_.limits_.rows)) {
            forget(it);
            return send(refusal(of, QStringLiteral("refused"), QStringLiteral("a program has at most %1 rows").arg(server_.limits_.rows)));
        }
        if (o.value(QStringLiteral("more")).toBool())
            return;
        job.loading = false;
        HeldBoard* held = board(job.board);
        if (!held) {
            forget(it);
            return send(refusal(of, QStringLiteral("gone"), QStringLiteral("the board was pulled out")));
        }
        log(of, QStringLiteral("plays %1 rows on board %2").arg(job.rows.size()).arg(QString::fromUtf8(job.board)));
        BoardPlayer& player = held->player();
        player.stop();  // another client's program ends first, as its own
        // Followed from its first step on, which play() may begin at once:
        // the answer follows the events it started with.
        job.playing = true;
        std::vector<QMetaObject::Connection>& watching = job.watching;
        if (job.steps)
            watching.push_back(connect(&player, &BoardPlayer::stepStarted, this, [this, of](int row, std::uint8_t pattern, int duration) {
                if (const auto j = jobs_.find(of); j != jobs_.end() && j->second.playing)
                    send(eventLine(of, QStringLiteral("step"), {{QStringLiteral("row"), row + 1},
                                                           {QStringLiteral("pattern"), QString::fromLatin1(RelayPattern::toText(pattern))},
                                                           {QStringLiteral("ms"), duration}}));
            }));
        watching.push_back(connect(&player, &BoardPlayer::writeFailed, this, [this, of, &player](const QString& what) {
            if (const auto j = jobs_.find(of); j != jobs_.end() && j->second.playing)
                j->second.failure = what, j->second.summary = player.summary();
        }));
        watching.push_back(connect(&player, &BoardPlayer::stopped, this, [this, of] { ended(of); }));
        watching.push_back(connect(held, &QObject::destroyed, this, [this, of] {
            const auto j = jobs_.find(of);
            if (j == jobs_.end())
                return;
            QJsonObject end{{QStringLiteral("code"), QStringLiteral("gone")},
                            {QStringLiteral("error"), j->second.failure.isEmpty() ? QStringLiteral("the board was pulled out") : j->second.failure}};
            if (!j->second.summary.isEmpty())
                end.insert(QStringLiteral("summary"), j->second.summary);
            forget(j);
            send(eventLine(of, QStringLiteral("end"), end));
        }));
        const QString error = held->play(std::move(job.rows), job.tickMs, job.repeat);
        if (!error.isEmpty()) {
            forget(it);
            return send(refusal(of, QStringLiteral("refused"), error));
        }
        send(answer(of));
    }

    // A program stopped (by itself, by stop, by another request): off at the
    // end where asked, then "end" once its board has nothing pending.
    void ended(qint64 id)
    {
        const auto it = jobs_.find(id);
        HeldBoard* held = it == jobs_.end() ? nullptr : board(it->second.board);
        if (!held || !it->second.playing || std::exchange(it->second.ending, true))
            return;
        Job& job = it->second;
        if (job.failure.isEmpty() && job.offAtEnd)
            job.failure = held->set(0xFF, 0);
        job.summary = held->player().summary();
        const HeadlessSchedule::Figures& f = held->player().figures();
        const auto ms = [](std::chrono::nanoseconds t) { return double(t.count()) / 1e6; };
        job.figures = {{QStringLiteral("steps"), qint64(f.steps)}, {QStringLiteral("late"), qint64(f.late)},
                       {QStringLiteral("largest_late_ms"), ms(f.largest)}};
        if (f.end.count() >= 0)
            job.figures.insert(QStringLiteral("ended_late_ms"), ms(f.end));
        // Its end once its last make is written (another client's pulse on the
        // board is not waited for).
        const auto finish = [this, id] {
            const auto j = jobs_.find(id);
            HeldBoard* b = j == jobs_.end() ? nullptr : board(j->second.board);
            if (!b || b->timeline().pendingMakes())
                return;
            QJsonObject end = j->second.figures;
            end.insert(QStringLiteral("summary"), j->second.summary);
            if (!j->second.failure.isEmpty())
                end.insert(QStringLiteral("error"), j->second.failure);
            forget(j);
            send(eventLine(id, QStringLiteral("end"), end));
        };
        job.watching.push_back(connect(&held->timeline(), &BoardTimeline::pendingChanged, this, finish));
        job.watching.push_back(connect(&held->timeline(), &BoardTimeline::writeFailed, this, finish));
        QTimer::singleShot(0, this, finish);
    }

    // finish: the request's pending makes dropped and its second edges now
    // (a signal at the client); stop: its program stopped.
    void end(qint64 id, const QJsonObject& o, bool stop)
    {
        const qint64 of = qint64(o.value(QStringLiteral("of")).toDouble(-1));
        const auto it = jobs_.find(of);
        HeldBoard* held = it == jobs_.end() ? nullptr : board(it->second.board);
        if (!held)
            return send(refusal(id, QStringLiteral("bad"), QStringLiteral("no request %1 of this connection is under way").arg(of)));
        send(answer(id));
        if (it->second.kind == Job::Play)
            return held->player().stop();  // its pending make dropped
        if (!stop)
            held->timeline().finish(it->second.mask);
    }

    void log(qint64 id, const QString& what)
    {
        qCInfo(lcMqtt).noquote() << "control client" << peer_ << QStringLiteral("(request %1)").arg(id) << what;
    }

    ControlServer& server_;
    QLocalSocket* socket_;
    QString peer_ = QStringLiteral("of unknown uid");
    ControlLines::LineReader reader_;
    std::map<qint64, Job> jobs_;
    QTimer watchdog_;
    QElapsedTimer drained_;  // since the output last moved, or was empty
    QElapsedTimer heard_;    // since the client last sent anything
    bool hello_ = false;
    bool closed_ = false;
};

ControlServer::ControlServer(BoardService& service, Limits limits, QObject* parent)
    : QObject(parent), service_(service), limits_(limits)
{
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::accept);
}

ControlServer::~ControlServer()
{
    close();
}

void ControlServer::close()
{
    for (const auto& connection : connections_)
        connection->close();
    connections_.clear();
    server_.close();
    if (!path_.isEmpty())
        ::unlink(QFile::encodeName(std::exchange(path_, QString())).constData());
}

std::optional<gid_t> ControlServer::plugdev()
{
    const group* plugdev = ::getgrnam("plugdev");
    return plugdev ? std::optional<gid_t>(plugdev->gr_gid) : std::nullopt;
}

QString ControlServer::listen(const QString& path, std::optional<gid_t> group)
{
    const QByteArray final = QFile::encodeName(path);
    const QByteArray temporary = final + ".new";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(temporary.size()) >= sizeof address.sun_path)
        return QStringLiteral("the socket path %1 is too long").arg(path);
    std::memcpy(address.sun_path, temporary.constData(), std::size_t(temporary.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto failed = [&](const char* what) {
        const QString error = QStringLiteral("cannot make the control socket %1 (%2: %3)").arg(path, QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return error;
    };
    ::unlink(temporary.constData());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return failed("bind");
    // The group's members may connect, nobody else: set on the path, as the
    // umask made the socket the service's own.
    if (group && ::chown(temporary.constData(), gid_t(-1), *group) != 0)
        qCWarning(lcMqtt).noquote() << "cannot give the control socket to group plugdev:" << std::strerror(errno);
    if (::chmod(temporary.constData(), 0660) != 0)
        return failed("chmod");
    if (::listen(fd, SOMAXCONN) != 0)
        return failed("listen");
    if (::rename(temporary.constData(), final.constData()) != 0)
        return failed("rename");
    if (!server_.listen(qintptr(fd))) {
        ::unlink(final.constData());
        ::close(fd);
        return QStringLiteral("cannot listen on the control socket %1: %2").arg(path, server_.errorString());
    }
    path_ = path;
    qCInfo(lcMqtt).noquote() << "control socket" << path;
    return {};
}

void ControlServer::accept()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        std::erase_if(connections_, [](const auto& c) { return c->gone(); });
        if (std::count_if(connections_.begin(), connections_.end(), [](const auto& c) { return !c->closed(); }) >= limits_.connections) {
            socket->write(ControlLines::line(refusal(0, QStringLiteral("busy"), QStringLiteral("the service has %1 clients already").arg(limits_.connections))));
            socket->flush();
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>(*this, socket));
    }
}
