#include "boardlink/board_link.h"

BoardLink::BoardLink(UsbLibrary& library, QObject* parent) : QObject(parent), library_(library) {}

BoardLink::~BoardLink()
{
    closeAll();
}

int BoardLink::discover()
{
    std::uint32_t found = 0;
    count_ = library_.countDevices(found) == UsbLibrary::Ok ? static_cast<int>(found) : 0;
    return count_;
}

std::optional<DeviceInfo> BoardLink::describe(int index) const
{
    DeviceInfo info;
    if (index < 0 || library_.describe(static_cast<std::uint32_t>(index), info) != UsbLibrary::Ok)
        return std::nullopt;
    return info;
}

QList<DeviceInfo> BoardLink::list()
{
    QList<DeviceInfo> devices;
    const int n = discover();
    for (int index = 0; index < n; ++index)
        devices.append(describe(index).value_or(DeviceInfo{}));
    return devices;
}

UsbLibrary::Handle BoardLink::handle(int index) const
{
    return index >= 0 && index < SlotCount ? handles_[static_cast<std::size_t>(index)] : 0;
}

UsbLibrary::Status BoardLink::open(int index)
{
    if (index < 0 || index >= SlotCount)
        return UsbLibrary::Failed;
    close(index);
    auto& slot = handles_[static_cast<std::size_t>(index)];
    const UsbLibrary::Status opened = library_.openByIndex(static_cast<std::uint32_t>(index), slot);
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
