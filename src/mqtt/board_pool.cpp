#include "mqtt/board_pool.h"

#include "engine/device/board_link.h"
#include "engine/device/device_entries.h"

#include <algorithm>

namespace {
bool sameDevice(const DeviceInfo& a, const DeviceInfo& b)
{
    return a.serial == b.serial && a.port == b.port && a.bus == b.bus && a.address == b.address;
}
}  // namespace

QString BoardPool::Entry::label() const
{
    return serial.isEmpty() ? QStringLiteral("without serial") : printableText(serial);
}

BoardPool::BoardPool(UsbLibrary& library, Settings settings, NameOf nameOf, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      nameOf_(std::move(nameOf)),
      library_(library),
      scanner_(std::make_unique<BoardLink>(library))
{
    // Nothing waits on this thread: a look at the bus that fails is not
    // tried again until the next scan.
    scanner_->setDiscoverAttempts(1);
    connect(&scanTimer_, &QTimer::timeout, this, &BoardPool::scan);
}

BoardPool::~BoardPool() = default;

void BoardPool::start()
{
    scanTimer_.start(settings_.scanMs);
}

void BoardPool::enable()
{
    enabled_ = true;
    scan();
}

void BoardPool::scanSoon()
{
    if (scanQueued_)
        return;
    scanQueued_ = true;
    QTimer::singleShot(0, this, &BoardPool::scan);
}

BoardPool::Entry* BoardPool::entry(const QByteArray& name)
{
    const auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : it->second.get();
}

void BoardPool::release(Entry& entry)
{
    if (!entry.held)
        return;
    entry.held->stop();
    entry.held.reset();  // a board let go takes no second edge
}

void BoardPool::scan()
{
    scanQueued_ = false;
    if (!enabled_)
        return;
    const QList<DeviceInfo> devices = scanner_->list();
    // A board held is gone when it is no longer listed where it was and its
    // handle has died with it (a list that missed it once changes nothing).
    for (const auto& [name, entry] : entries_) {
        const DeviceInfo& where = entry->info;
        if (entry->online() &&
            std::none_of(devices.begin(), devices.end(), [&where](const DeviceInfo& d) { return sameDevice(d, where); }) &&
            !entry->held->answers())
            emit gone(name);
    }
    QList<int> allowed;
    std::map<QString, int> listed;
    for (int index = 0; index < devices.size(); ++index)
        if (DeviceEntries::allows(settings_.serials, devices[index])) {
            allowed << index;
            if (!devices[index].serial.isEmpty() && ++listed[devices[index].serial] == 2)
                cloned_.insert(devices[index].serial);
        }
    for (const int index : allowed) {
        const DeviceInfo& device = devices[index];
        const NamedBoard* named = settings_.boards.board(device);
        const Naming naming = nameOf_(device, named);
        auto& slot = entries_[naming.name];
        if (!slot) {
            slot = std::make_unique<Entry>();
            slot->serial = device.serial;
            slot->name = naming.name;
            slot->key = naming.key;
            slot->named = named;
            emit seen(naming.name, device);
        }
        Entry& entry = *slot;
        if (entry.key != naming.key || entry.serial != device.serial || entry.named != named ||
            (entry.online() && !sameDevice(entry.info, device))) {
            emit nameTaken(entry.name, device);
            continue;
        }
        if (entry.online())
            continue;
        // A node is one physical board: once its serial has been seen at two
        // ports at once, it is the board at the port it was taken at. (A
        // board without a serial is named after its port.)
        if (!entry.takenAt.isEmpty() && device.port != entry.takenAt && cloned_.count(device.serial)) {
            emit cloneLeftAlone(entry.name, device, entry.takenAt);
            continue;
        }
        take(entry, index, device);
    }
    emit looked();
}

void BoardPool::take(Entry& entry, int index, const DeviceInfo& device)
{
    auto held = HeldBoard::take(library_, settings_.boards, index, device);
    if (!held.ok())
        return emit notTaken(entry.name, device, held.error);
    entry.refusal.clear();
    entry.info = device;
    if (entry.takenAt.isEmpty())
        entry.takenAt = device.port;
    entry.held = std::move(*held.value);
    connect(entry.held.get(), &HeldBoard::failed, this, &BoardPool::scanSoon);
    emit taken(entry.name);
}
