#pragma once

#include "engine/printable.h"

#include <QList>
#include <QString>

#include <cstdint>

// What a device says about itself, read without claiming it. Bus, address,
// port and serial together are its identity: what open() checks before it
// touches the device.
struct DeviceInfo {
    QString serial;        // may be empty: clone chips often have none
    QString description;   // the USB product string
    QString manufacturer;
    int bus = 0;
    int address = 0;
    QString port;          // bus and port path as sysfs names it, e.g. "1-1.2"
};

// The operations of the USB interface chip's driver library that the program
// uses. Handles are opaque non-zero values; zero means "no handle". Every
// operation returns a Status that callers are free to ignore:
// a failing call must have no effect, and must never crash, even on a zero,
// closed or stale handle or on a board that was pulled out.
class UsbLibrary {
public:
    using Handle = std::uint32_t;
    enum class Status { Ok, Failed };

    static constexpr Status Ok = Status::Ok;
    static constexpr Status Failed = Status::Failed;

    virtual ~UsbLibrary() = default;

    // enumerate
    //   Lists and describes every attached device from one look at the bus,
    //   without claiming any: each device exactly once.
    // Parameters:
    //   devices - receives the devices; left as it was on failure
    // Returns:
    //   Ok, or Failed when the bus cannot be listed (see lastError)
    // See also: open
    virtual Status enumerate(QList<DeviceInfo>& devices) = 0;

    // open
    //   Opens a device enumerate() described, only when the device now at its
    //   bus, address and port still has its serial number; nothing (claim,
    //   detach, reset, bit mode) touches a device before that.
    // Parameters:
    //   device - as enumerate() gave it
    //   handle - receives a non-zero handle on success, zero on failure
    // Returns:
    //   Ok, or Failed when the device is gone, another device is in its place,
    //   or it is held elsewhere (see lastError: who holds it, where known)
    // See also: enumerate, close
    virtual Status open(const DeviceInfo& device, Handle& handle) = 0;

    // setBitMode
    // Parameters:
    //   handle - from open
    //   mask   - the pins that are outputs (bit n: pin n)
    //   mode   - 0x01 asynchronous bit-bang; 0x00 leaves bit-bang mode
    // Returns:
    //   Ok, or Failed (see lastError)
    virtual Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) = 0;

    // close
    //   Releases the handle and gives the device back to its kernel driver.
    //   The relays keep their state.
    // Parameters:
    //   handle - from open; zero, closed or stale handles are ignored
    // Returns:
    //   Ok when the handle was open (even if the device was pulled out), else
    //   Failed
    virtual Status close(Handle handle) = 0;

    // preWrite
    //   Called right before every write; leaves the device in bit-bang mode.
    // Returns:
    //   Ok, or Failed (see lastError)
    // See also: write
    virtual Status preWrite(Handle handle) = 0;

    // write
    //   Drives data[0..length) onto the pins, one byte after another.
    // Parameters:
    //   handle  - from open
    //   data    - the pin levels, bit n for pin n
    //   length  - the number of bytes
    //   written - receives the number of bytes taken
    // Returns:
    //   Ok, or Failed (see lastError)
    // See also: preWrite, readPins
    virtual Status write(Handle handle, const std::uint8_t* data, std::uint32_t length,
                         std::uint32_t& written) = 0;

    // readPins
    // Parameters:
    //   handle - from open
    //   pins   - receives the present pin levels; untouched on failure
    // Returns:
    //   Ok, or Failed (see lastError)
    virtual Status readPins(Handle handle, std::uint8_t& pins) = 0;

    // lastError
    // Returns:
    //   why the latest failing call failed, in words for a person (for an
    //   open refused because the device is in use: which port, and which
    //   process where known); empty when the library cannot tell.
    virtual QString lastError() const { return {}; }

    // lockFolder
    // Returns:
    //   the folder of the lock files that keep processes from switching one
    //   board at once; empty when the boards belong to this process alone
    //   (simulated ones), so that nothing is locked on the machine
    virtual QString lockFolder() const { return {}; }
};
