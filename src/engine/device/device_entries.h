#pragma once

#include "engine/device/usb_library.h"

#include <QStringList>

#include <optional>

// Lists that name devices one entry each, by serial number or as
// "port:PORT" (the daemon's allow-list and its node names): which entry a
// device is. A port entry wins over a serial, so that clones sharing one
// serial are told apart by where they are plugged in; a device without a
// serial is named by its port alone.
namespace DeviceEntries {

// "port:PORT" for the device's port.
QString portEntry(const DeviceInfo& device);

// The entry of entries that names the device, its port entry first; none
// when no entry does.
std::optional<QString> match(const DeviceInfo& device, const QStringList& entries);

// Whether an allow-list lets the device through: an entry "*" lets every
// device through, an empty list none.
bool allows(const QStringList& allowList, const DeviceInfo& device);

}  // namespace DeviceEntries
