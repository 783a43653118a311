#pragma once

#include "engine/device/usb_library.h"

#include <QList>
#include <QString>

// The boards the board service (kestruned) holds, in a file every user may
// read: the service runs as a user of its own, whose processes others cannot
// look into, and a program refused a board names the service from this list.
// One JSON object: {"pid": N, "boards": [{"port": "1-1", "serial": "..."}]}.
namespace HolderList {

// $KESTRUNE_RUNTIME_DIR/boards, or /run/kestruned/boards.
QString defaultPath();

// Replaces the list at path with boards held by this process, readable by
// everyone whatever the umask; an error text, empty when written.
QString write(const QString& path, const QList<DeviceInfo>& boards);

// "kestruned (pid N)" when the list at path names the board at port and its
// process is alive, else empty.
QString holderOf(const QString& port, const QString& path = defaultPath());

}  // namespace HolderList
