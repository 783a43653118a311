#include "mqtt/state_keeper.h"

#include "engine/device/relay_board.h"
#include "engine/save_file.h"
#include "mqtt/daemon_log.h"

#include <QFile>
#include <QUrl>

StateKeeper::StateKeeper(QString folder, QObject* parent) : QObject(parent), folder_(std::move(folder))
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &StateKeeper::keepAllDue);
}

void StateKeeper::wrote(const QByteArray& name, const QString& label, std::uint8_t pins)
{
    Kept& kept = kept_[name];
    kept.label = label, kept.pins = pins;
    if (folder_.isEmpty() || kept.saved == pins)
        return;
    kept.due = true;
    if (!kept.lastSave.isValid() || kept.lastSave.hasExpired(IntervalMs))
        save(name, kept);
    else if (!timer_.isActive())
        timer_.start(IntervalMs);
}

void StateKeeper::keep(const QByteArray& name, const QString& label, std::uint8_t pins)
{
    Kept& kept = kept_[name];
    kept.label = label, kept.pins = pins;
    if (!folder_.isEmpty() && kept.saved != pins)
        save(name, kept);
}

void StateKeeper::keepDue(const QByteArray& name)
{
    if (const auto it = kept_.find(name); it != kept_.end() && it->second.due)
        save(name, it->second);
}

void StateKeeper::keepAllDue()
{
    for (auto& [name, kept] : kept_)
        if (kept.due)
            save(name, kept);
}

QString StateKeeper::file(const QByteArray& name) const
{
    // Percent-encoded: a name may hold any character but / + #, and "." or "..".
    return folder_ + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(name))) +
           QStringLiteral(".state");
}

void StateKeeper::save(const QByteArray& name, Kept& kept)
{
    kept.due = false;
    kept.lastSave.start();
    const QString error = saveWholeFile(file(name), RelayPattern::toText(kept.pins) + '\n');
    if (!error.isEmpty() && error != kept.error)
        qCWarning(lcMqtt).noquote() << "cannot keep the state of board" << kept.label << "in" << file(name) << "-" << error;
    kept.error = error;
    if (error.isEmpty())
        kept.saved = kept.pins;
}

std::optional<std::uint8_t> StateKeeper::startPattern(const QByteArray& name, const QString& label, NamedBoard::OnStart mode) const
{
    using OnStart = NamedBoard::OnStart;
    if (mode == OnStart::Off)
        return 0;
    if (mode != OnStart::Restore)
        return std::nullopt;
    QFile state(file(name));
    if (folder_.isEmpty() || !state.open(QIODevice::ReadOnly)) {
        qCInfo(lcMqtt).noquote() << "board" << label << "has no state kept: keeping its relays as they are";
        return std::nullopt;
    }
    const std::optional<std::uint8_t> pattern = RelayPattern::fromText(state.read(9).trimmed());
    if (!pattern)
        qCWarning(lcMqtt).noquote() << file(name) << "holds no relay pattern: keeping the relays of board" << label << "as they are";
    return pattern;
}
