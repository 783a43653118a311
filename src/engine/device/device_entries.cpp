#include "engine/device/device_entries.h"

namespace DeviceEntries {

QString portEntry(const DeviceInfo& device)
{
    return QStringLiteral("port:") + device.port;
}

std::optional<QString> match(const DeviceInfo& device, const QStringList& entries)
{
    if (entries.contains(portEntry(device)))
        return portEntry(device);
    if (!device.serial.isEmpty() && entries.contains(device.serial))
        return device.serial;
    return std::nullopt;
}

bool allows(const QStringList& allowList, const DeviceInfo& device)
{
    return allowList.contains(QStringLiteral("*")) || match(device, allowList).has_value();
}

}  // namespace DeviceEntries
