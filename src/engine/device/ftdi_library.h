#pragma once

#include "engine/device/port_usage.h"
#include "engine/device/usb_library.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

struct ftdi_context;
struct ftdi_device_list;
struct libusb_device;

// UsbLibrary on top of libftdi1: talks to FTDI USB chips (FTDI's vendor id
// with its standard product ids) in bit-bang mode.
//
// Every open board owns its own ftdi_context; handles are small counters that
// are never handed out twice, so a stale handle can never reach another
// board. Meant for use from one thread (the UI thread).
//
// A device is opened only when the device at the recorded bus, address and
// port still has the recorded serial number, read without claiming it; a
// device whose serial port is in use (see PortUsage) is not opened: taking
// it would detach the kernel's serial driver under the program using it. A
// device another program has claimed is refused, naming that program.
// libftdi's failures are logged to the category "kestrune.ftdi" at debug
// level (QT_LOGGING_RULES="kestrune.ftdi.debug=true" shows them).
class FtdiLibrary final : public UsbLibrary {
public:
    // roots: where sysfs, /proc, /dev and the lock files are (the real
    // system unless a test says otherwise).
    explicit FtdiLibrary(const SystemRoots& roots = {});
    // Closes every board that is still open.
    ~FtdiLibrary() override;

    FtdiLibrary(const FtdiLibrary&) = delete;
    FtdiLibrary& operator=(const FtdiLibrary&) = delete;

    // Reads the strings through the device node, which claims nothing and
    // leaves every driver bound; from sysfs where the node cannot be opened.
    Status enumerate(QList<DeviceInfo>& devices) override;
    Status open(const DeviceInfo& device, Handle& handle) override;
    Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Status close(Handle handle) override;
    Status preWrite(Handle handle) override;
    Status write(Handle handle, const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t& written) override;
    Status readPins(Handle handle, std::uint8_t& pins) override;
    // libftdi's own words for the latest failure, or why a device was
    // refused: who uses its serial port or holds it, or that it is gone.
    QString lastError() const override { return lastError_; }
    QString lockFolder() const override { return usage_.roots().lock; }
    // How long to look again at who has a held board's node open, so that a
    // process that only lists devices is not named as its holder: 50 ms by
    // default; 0 for a caller whose thread times boards and may not wait.
    void setHolderSettleMs(int ms) { holderSettleMs_ = ms; }

    // Number of boards currently open through this object.
    std::size_t openCount() const { return boards_.size(); }

private:
    using Context = std::unique_ptr<ftdi_context, void (*)(ftdi_context*)>;
    using DeviceList = std::unique_ptr<ftdi_device_list, void (*)(ftdi_device_list*)>;

    static Context newContext();
    // Why a device with a claimed interface cannot be opened: who has it.
    QString heldBy(const DeviceInfo& device) const;
    ftdi_context* find(Handle handle);
    // Records a failure: libftdi's text for ctx (or reason), logged.
    Status fail(ftdi_context* ctx, const char* call);
    Status fail(const QString& reason);

    PortUsage usage_;
    std::map<Handle, Context> boards_;
    Handle lastHandle_ = 0;
    QString lastError_;
    int holderSettleMs_ = 50;
};
