#include "engine/device/board_link.h"

BoardLink::BoardLink(UsbLibrary& library, QObject* parent) : QObject(parent), library_(library) {}

BoardLink::~BoardLink()
{
    closeAll();
}

int BoardLink::discover()
{
    if (library_.enumerate(devices_) != UsbLibrary::Ok)
        devices_.clear();
    return count();
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
    auto& slot = handles_[static_cast<std::size_t>(index)];
    const UsbLibrary::Status opened = library_.open(device, slot);
    if (opened != UsbLibrary::Ok || slot == 0)
        return UsbLibrary::Failed;
    return library_.setBitMode(slot, OutputMask, BitBangMode);
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
    const UsbLibrary::Status status = library_.readPins(handle(index), pins);
    if (status != UsbLibrary::Ok)
        emit failed(index, lastError());
    return status;
}

QString BoardLink::lastError() const
{
    const QString said = library_.lastError();
    return said.isEmpty() ? QStringLiteral("the board did not answer") : said;
}
