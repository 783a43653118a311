#include "mqtt/mqtt_config.h"

#include "engine/config/ini_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QSysInfo>

#include <algorithm>
#include <cctype>

namespace {

// The settings of the file, "section/key" -> value (see IniFile for its
// form), or the first mistake in it.
struct Settings {
    QMap<QString, QString> values;  // "section/key" -> value
    QStringList sections;
    QString error;
};

const QStringList knownKeys = {
    QStringLiteral("broker/host"),      QStringLiteral("broker/port"),
    QStringLiteral("broker/username"),  QStringLiteral("broker/password"),
    QStringLiteral("broker/cafile"),    QStringLiteral("broker/certfile"),
    QStringLiteral("broker/keyfile"),   QStringLiteral("topics/base"),
    QStringLiteral("topics/id"),        QStringLiteral("topics/discovery_prefix"),
    QStringLiteral("topics/discovery"), QStringLiteral("boards/serials"),
};

Settings readIni(const QString& path, const QByteArray& content)
{
    Settings ini;
    const IniFile::Result parsed = IniFile::parse(content);
    const auto where = [&](int line) { return QStringLiteral("%1, line %2").arg(path).arg(line); };
    for (const IniFile::Section& section : parsed.sections) {
        ini.sections << section.name;
        for (const IniFile::Entry& entry : section.entries) {
            const QString key = section.name + QLatin1Char('/') + entry.key;
            if (!knownKeys.contains(key) && !key.startsWith(QLatin1String("boards/node."))) {
                ini.error = QStringLiteral("%1: unknown setting \"%2\"").arg(where(entry.line), key);
                return ini;
            }
            ini.values.insert(key, entry.value);
        }
    }
    if (parsed.errorLine > 0)
        ini.error = QStringLiteral("%1: expected [section] or key = value").arg(where(parsed.errorLine));
    return ini;
}

// A topic level or prefix we publish under: no wildcards, not empty.
bool topicPart(const QString& text, bool slashAllowed)
{
    return !text.isEmpty() && !text.contains(QLatin1Char('+')) && !text.contains(QLatin1Char('#')) &&
           !text.contains(QChar(0)) && (slashAllowed || !text.contains(QLatin1Char('/'))) &&
           !text.startsWith(QLatin1Char('/')) && !text.endsWith(QLatin1Char('/'));
}

ConfigExit failure(const QString& text)
{
    return {1, text};
}

// kestrune-HOSTNAME-XXXX, the four hex digits from /etc/machine-id: machines
// made from one image share a host name, but not (once booted) a machine id.
QString defaultId()
{
    QFile file(QStringLiteral("/etc/machine-id"));
    const QByteArray machine = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
    const bool hex = machine.size() == 4 && std::all_of(machine.begin(), machine.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    return QStringLiteral("kestrune-") + QSysInfo::machineHostName() + (hex ? QLatin1Char('-') + QString::fromLatin1(machine) : QString());
}

// Why a TLS file is not what its setting says it is, or nothing: loaded the
// way the TLS library will, so a mix-up shows at start, not at each retry.
QString tlsFileError(const QString& name, const QString& path)
{
    if (!QFileInfo::exists(path))
        return QStringLiteral("the %1 %2 does not exist").arg(name, path);
    if (name != QLatin1String("keyfile"))
        return QSslCertificate::fromPath(path, QSsl::Pem).isEmpty()
                   ? QStringLiteral("the %1 %2 holds no PEM certificate").arg(name, path)
                   : QString();
    const IniFile::FileContent file = IniFile::read(path);
    if (!file.error.isEmpty())
        return file.error;
    const QByteArray& pem = file.content;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa, QSsl::Dh})
        if (!QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey).isNull())
            return {};
    return QStringLiteral("the keyfile %1 holds no unencrypted PEM private key").arg(path);
}

}  // namespace

std::variant<DaemonConfig, ConfigExit> loadDaemonConfig(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Puts the attached relay boards on an MQTT broker, with Home Assistant discovery."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("Settings file (default %1).").arg(DaemonConfig::DefaultFile),
                                          QStringLiteral("FILE"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Broker host."),
                                        QStringLiteral("HOST"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Broker port."),
                                        QStringLiteral("PORT"));
    const QCommandLineOption baseOption(QStringLiteral("base-topic"),
                                        QStringLiteral("First level of every topic (default kestrune)."),
                                        QStringLiteral("TOPIC"));
    const QCommandLineOption idOption(QStringLiteral("id"),
                                      QStringLiteral("This daemon's id and client id (default kestrune-<hostname>-<4 hex digits of the machine id>)."),
                                      QStringLiteral("ID"));
    const QCommandLineOption prefixOption(QStringLiteral("discovery-prefix"),
                                          QStringLiteral("Home Assistant discovery prefix (default homeassistant)."),
                                          QStringLiteral("PREFIX"));
    const QCommandLineOption noDiscoveryOption(QStringLiteral("no-discovery"),
                                               QStringLiteral("Publish no Home Assistant discovery."));
    const QCommandLineOption boardsOption(QStringLiteral("boards"),
                                          QStringLiteral("Boards and relays by name (default %1).").arg(BoardsConf::DefaultFile),
                                          QStringLiteral("FILE"));
    parser.addOptions({configOption, hostOption, portOption, baseOption, idOption, prefixOption,
                       noDiscoveryOption, boardsOption});
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help))
        return ConfigExit{0, parser.helpText()};
    if (parser.isSet(version))
        return ConfigExit{0, QCoreApplication::applicationName() + QLatin1Char(' ') +
                                 QCoreApplication::applicationVersion() + QLatin1Char('\n')};
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    DaemonConfig config;
    QMap<QString, QString> values;
    QStringList sections;
    const QString path = parser.isSet(configOption) ? parser.value(configOption) : DaemonConfig::DefaultFile;
    // The default file counts as missing only when it simply does not exist:
    // one behind a folder this user cannot search is refused, not skipped.
    const IniFile::FileContent file = IniFile::read(path);
    const std::optional<QString> there = parser.isSet(configOption) || file.error.isEmpty() ? QString() : IniFile::notAbsent(path);
    if (there) {
        if (!file.error.isEmpty())
            return failure(there->isEmpty() ? file.error : QStringLiteral("cannot read %1: %2").arg(path, *there));
        const Settings ini = readIni(path, file.content);
        if (!ini.error.isEmpty())
            return failure(ini.error);
        values = ini.values;
        sections = ini.sections;
        config.file = path;
        if (!values.value(QStringLiteral("broker/password")).isEmpty() &&
            (QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther)))
            return failure(QStringLiteral("%1 holds a password and others may read it; make it "
                                          "readable by its owner only (chmod 600 %1)")
                               .arg(path));
    }
    const auto setting = [&](const QCommandLineOption& option, const QString& key, const QString& fallback) {
        return parser.isSet(option) ? parser.value(option) : values.value(key, fallback);
    };

    config.mqtt = sections.contains(QStringLiteral("broker")) || parser.isSet(hostOption);
    if (!config.mqtt && parser.isSet(portOption))
        return failure(QStringLiteral("--port needs a broker: give --host too, or a [broker] section in the settings"));
    MqttClient::Options& broker = config.broker;
    broker.host = setting(hostOption, QStringLiteral("broker/host"), QStringLiteral("localhost"));
    broker.username = values.value(QStringLiteral("broker/username"));
    broker.password = values.value(QStringLiteral("broker/password"));
    broker.cafile = values.value(QStringLiteral("broker/cafile"));
    broker.certfile = values.value(QStringLiteral("broker/certfile"));
    broker.keyfile = values.value(QStringLiteral("broker/keyfile"));
    const QString port = setting(portOption, QStringLiteral("broker/port"),
                                 broker.cafile.isEmpty() ? QStringLiteral("1883") : QStringLiteral("8883"));
    bool portOk = false;
    broker.port = port.toInt(&portOk);
    if (!portOk || broker.port < 1 || broker.port > 65535)
        return failure(QStringLiteral("the port must be a number from 1 to 65535, not \"%1\"").arg(port));
    if (broker.host.isEmpty())
        return failure(QStringLiteral("the broker host is empty"));
    if (broker.certfile.isEmpty() != broker.keyfile.isEmpty())
        return failure(QStringLiteral("a client certificate needs both certfile and keyfile"));
    if (!broker.certfile.isEmpty() && broker.cafile.isEmpty())
        return failure(QStringLiteral("a client certificate needs TLS: set cafile too"));
    for (const auto& [name, file] : {std::pair{"cafile", broker.cafile}, {"certfile", broker.certfile}, {"keyfile", broker.keyfile}}) {
        if (const QString error = file.isEmpty() ? QString() : tlsFileError(QLatin1String(name), file); !error.isEmpty())
            return failure(error);
    }

    const QString base = setting(baseOption, QStringLiteral("topics/base"), QStringLiteral("kestrune"));
    const QString id = setting(idOption, QStringLiteral("topics/id"), defaultId());
    const QString prefix = setting(prefixOption, QStringLiteral("topics/discovery_prefix"),
                                   QStringLiteral("homeassistant"));
    if (!topicPart(base, true))
        return failure(QStringLiteral("the base topic \"%1\" is empty, has + or #, or starts or ends with /").arg(base));
    if (!topicPart(id, false))
        return failure(QStringLiteral("the id \"%1\" is empty or has +, # or /").arg(id));
    if (!topicPart(prefix, true))
        return failure(QStringLiteral("the discovery prefix \"%1\" is empty, has + or #, or starts or ends with /").arg(prefix));
    config.topics = {base.toUtf8(), id.toUtf8(), prefix.toUtf8()};

    const auto discovery = IniFile::truth(values.value(QStringLiteral("topics/discovery"), QStringLiteral("true")));
    if (!discovery)
        return failure(QStringLiteral("discovery must be true or false"));
    config.discovery = *discovery && !parser.isSet(noDiscoveryOption);
    // Every board by "*"; an empty list, as written by earlier versions for
    // every board, still means so; without the key, no board is taken.
    const QString serials = QStringLiteral("boards/serials");
    config.serials = values.value(serials).split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    if (!values.contains(serials)) {
        config.serialsWarning = QStringLiteral("no [boards] serials set: taking no board; name the boards there, "
                                               "or write serials = * for every FTDI board attached");
    } else if (config.serials.isEmpty()) {
        config.serials = QStringList{QStringLiteral("*")};
        config.serialsWarning = QStringLiteral("[boards] serials is empty: taking every FTDI board attached, as before; "
                                               "write serials = * to say so");
    } else if (config.serials.contains(QStringLiteral("*"))) {
        config.serialsWarning = QStringLiteral("[boards] serials = *: taking every FTDI board attached");
    }
    for (auto it = values.keyValueBegin(); it != values.keyValueEnd(); ++it) {
        const QString board = it->first.mid(int(sizeof("boards/node.")) - 1);
        if (!it->first.startsWith(QLatin1String("boards/node.")))
            continue;
        if (board.isEmpty() || !topicPart(it->second, false) || it->second == QLatin1String("bridge"))
            return failure(QStringLiteral("node.%1: a node name is one topic level without +, # or /, "
                                          "and not \"bridge\"; not \"%2\"")
                               .arg(board, it->second));
        config.nodeNames.insert(board, it->second.toUtf8());
    }

    // A boards.conf with a mistake stops the daemon: it may hold a safety rule.
    config.boards = BoardsConf::load(parser.isSet(boardsOption) ? parser.value(boardsOption) : BoardsConf::DefaultFile,
                                     parser.isSet(boardsOption));
    if (!config.boards.ok())
        return failure(config.boards.error);
    if (const NamedBoard* bridge = config.boards.named(QStringLiteral("bridge")))
        return failure(QStringLiteral("%1:%2: the daemon's own topics are named bridge: name the board otherwise")
                           .arg(config.boards.file).arg(bridge->line));

    broker.clientId = config.topics.id;
    broker.willTopic = config.topics.bridgeAvailability();
    broker.willPayload = QByteArrayLiteral("offline");
    broker.busyTopic = config.topics.bridgeAvailability();
    broker.instanceTopic = config.topics.bridge("instance");
    return config;
}
