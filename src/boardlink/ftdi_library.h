#pragma once

#include "usb_library.h"

#include <cstddef>
#include <cstdint>
#include <map>

struct ftdi_context;

// UsbLibrary on top of libftdi1: talks to FTDI USB chips (FTDI's vendor id
// with its standard product ids) in bit-bang mode.
//
// Every open board owns its own ftdi_context; handles are small counters that
// are never handed out twice, so a stale handle can never reach another
// board. Meant for use from one thread (the UI thread).
class FtdiLibrary final : public UsbLibrary {
public:
    FtdiLibrary() = default;
    // Closes every board that is still open.
    ~FtdiLibrary() override;

    FtdiLibrary(const FtdiLibrary&) = delete;
    FtdiLibrary& operator=(const FtdiLibrary&) = delete;

    Status countDevices(std::uint32_t& count) override;
    Status describe(std::uint32_t index, DeviceInfo& info) override;
    Status openByIndex(std::uint32_t index, Handle& handle) override;
    Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Status close(Handle handle) override;
    Status preWrite(Handle handle) override;
    Status write(Handle handle, const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t& written) override;
    Status readPins(Handle handle, std::uint8_t& pins) override;

    // Number of boards currently open through this object.
    std::size_t openCount() const { return boards_.size(); }

private:
    ftdi_context* find(Handle handle) const;

    std::map<Handle, ftdi_context*> boards_;
    Handle lastHandle_ = 0;
};
