#include "engine/device/board_link.h"

#include "engine/device/board_lock.h"

#include <QThread>

BoardLink::BoardLink(UsbLibrary& library, QObject* parent)
    : QObject(parent), library_(library), lockFolder_(library.lockFolder())
{
}

BoardLink::~BoardLink()
{
    closeAll();
}

int BoardLink::discover()
{
    // A look fails now and then while another process hands a board back to
    // its driver (the bus changes under it): it is tried again a few times.
    for (int attempt = 0; attempt < discoverAttempts_; ++attempt) {
        if (attempt > 0)
            QThread::msleep(10);
        if (library_.enumerate(devices_) == UsbLibrary::Ok)
            return count();
    }
    devices_.clear();
    return 0;
}

std::optional<DeviceInfo> BoardLink::describe(int index) const
{
    if (index < 0 || index >= devices_.size())
        return std::nullopt;
    return devices_[index];
}

QList<DeviceInfo> BoardLink::list()
{
    discover();
    return devices_;
}

UsbLibrary::Handle BoardLink::handle(int index) const
{
    return index >= 0 && index < SlotCount ? handles_[static_cast<std::size_t>(index)] : 0;
}

UsbLibrary::Status BoardLink::open(int index)
{
    const auto device = describe(index);
    if (!device) {
        close(index);
        return UsbLibrary::Failed;
    }
    return open(index, *device);
}

UsbLibrary::Status BoardLink::open(int index, const DeviceInfo& device)
{
    if (index < 0 || index >= SlotCount)
        return UsbLibrary::Failed;
    close(index);
    refusal_.clear();
    // A device the rules refuse is not touched at all.
    const Outcome<BoardRules> rules = rulesSource_ ? rulesSource_(device) : Outcome<BoardRules>::success({});
    if (!rules.ok()) {
        refusal_ = rules.error;
        return UsbLibrary::Failed;
    }
    const auto at = static_cast<std::size_t>(index);
    auto& slot = handles_[at];
    const UsbLibrary::Status opened = library_.open(device, slot);
    if (opened != UsbLibrary::Ok || slot == 0)
        return UsbLibrary::Failed;
    rules_[at] = *rules.value;
    ports_[at] = device.port;
    if (rules_[at].invert)
        return openInverted(slot);
    return library_.setBitMode(slot, OutputMask, BitBangMode);
}

// An active-low board's relay is on while its line is low, and a line that
// is not driven floats high: a line must never be let go of while it is low,
// nor driven before the latch holds its level. So the pins are read first;
// only the lines reading low become outputs (the latch of a board left in
// bit-bang mode holds those levels, and a line another program left as an
// input reads high, so it stays an input); then the latch takes the levels
// read, and only then is every line driven. No line moves at any step.
UsbLibrary::Status BoardLink::openInverted(UsbLibrary::Handle handle)
{
    std::uint8_t pins = 0xFF;
    UsbLibrary::Status status = library_.readPins(handle, pins);
    if (status == UsbLibrary::Ok)
        status = library_.setBitMode(handle, static_cast<std::uint8_t>(~pins), BitBangMode);
    std::uint32_t written = 0;
    if (status == UsbLibrary::Ok && library_.preWrite(handle) == UsbLibrary::Ok)
        status = library_.write(handle, &pins, 1, written);
    if (status == UsbLibrary::Ok && written != 1)
        status = UsbLibrary::Failed;
    // A latch that could not be written must never be driven.
    return status == UsbLibrary::Ok ? library_.setBitMode(handle, OutputMask, BitBangMode) : status;
}

const BoardRules& BoardLink::rules(int index) const
{
    static const BoardRules none;
    return index >= 0 && index < SlotCount && handle(index) != 0 ? rules_[static_cast<std::size_t>(index)] : none;
}

std::unique_ptr<BoardLock> BoardLink::lock(int index, int waitMs, const std::function<void(const QString&)>& waiting,
                                           const std::function<bool()>& giveUp) const
{
    const QString port = handle(index) != 0 ? ports_[static_cast<std::size_t>(index)]
                                            : describe(index).value_or(DeviceInfo{}).port;
    return std::make_unique<BoardLock>(lockFolder_, port, waitMs, waiting, giveUp);
}

void BoardLink::close(int index)
{
    if (index < 0 || index >= SlotCount)
        return;
    auto& slot = handles_[static_cast<std::size_t>(index)];
    if (slot != 0)
        library_.close(slot);
    slot = 0;
}

void BoardLink::closeAll()
{
    for (int index = 0; index < SlotCount; ++index)
        close(index);
}

UsbLibrary::Status BoardLink::write(int index, std::uint8_t byte)
{
    const UsbLibrary::Handle h = handle(index);
    refusal_.clear();
    if (rules(index).invert)
        byte = static_cast<std::uint8_t>(~byte);
    library_.preWrite(h);
    std::uint32_t written = 0;
    UsbLibrary::Status status = library_.write(h, &byte, 1, written);
    if (status == UsbLibrary::Ok && written != 1)
        status = UsbLibrary::Failed;
    if (status != UsbLibrary::Ok)
        emit failed(index, lastError());
    return status;
}

UsbLibrary::Status BoardLink::read(int index, std::uint8_t& pins)
{
    std::uint8_t levels = 0;
    refusal_.clear();
    const UsbLibrary::Status status = library_.readPins(handle(index), levels);
    if (status != UsbLibrary::Ok)
        emit failed(index, lastError());
    else
        pins = rules(index).invert ? static_cast<std::uint8_t>(~levels) : levels;
    return status;
}

QString BoardLink::lastError() const
{
    const QString said = openError();
    return said.isEmpty() ? QStringLiteral("the board did not answer") : said;
}
