#include "ftdi_library.h"

#include <ftdi.h>
#include <libusb.h>

#include <climits>

namespace {

// Deletes an ftdi_context (closing its device if one is open) and a device
// list when leaving scope.
struct ContextDeleter {
    ftdi_context* ctx = nullptr;
    ~ContextDeleter()
    {
        if (ctx)
            ftdi_free(ctx);
    }
};

struct ListDeleter {
    ftdi_device_list* list = nullptr;
    ~ListDeleter() { ftdi_list_free(&list); }
};

} // namespace

FtdiLibrary::~FtdiLibrary()
{
    while (!boards_.empty())
        close(boards_.begin()->first);
}

ftdi_context* FtdiLibrary::find(Handle handle) const
{
    if (handle == 0)
        return nullptr;
    const auto it = boards_.find(handle);
    return it == boards_.end() ? nullptr : it->second;
}

UsbLibrary::Status FtdiLibrary::countDevices(std::uint32_t& count)
{
    // A fresh context every time: libusb enumerates the bus when a context
    // is created, so boards plugged in or out since the last call are seen.
    ContextDeleter context{ftdi_new()};
    if (!context.ctx)
        return Failed;

    ListDeleter devices;
    const int found = ftdi_usb_find_all(context.ctx, &devices.list, 0, 0);
    if (found < 0)
        return Failed;

    count = static_cast<std::uint32_t>(found);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::describe(std::uint32_t index, DeviceInfo& info)
{
    ContextDeleter context{ftdi_new()};
    if (!context.ctx)
        return Failed;
    ListDeleter devices;
    if (ftdi_usb_find_all(context.ctx, &devices.list, 0, 0) < 0)
        return Failed;
    ftdi_device_list* node = devices.list;
    for (std::uint32_t i = 0; node && i < index; ++i)
        node = node->next;
    if (!node)
        return Failed;
    info = DeviceInfo{};
    info.bus = libusb_get_bus_number(node->dev);
    info.address = libusb_get_device_address(node->dev);
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(node->dev, ports, sizeof ports);
    info.port = QString::number(info.bus);
    for (int i = 0; i < depth; ++i)
        info.port += (i == 0 ? QLatin1Char('-') : QLatin1Char('.')) + QString::number(ports[i]);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::openByIndex(std::uint32_t index, Handle& handle)
{
    handle = 0;

    if (lastHandle_ == UINT32_MAX)
        return Failed; // every handle has been handed out once

    ContextDeleter context{ftdi_new()};
    if (!context.ctx)
        return Failed;
    // Hand the device back to its kernel driver (the serial port driver)
    // when it is closed, so a board we let go of is usable by others again.
    context.ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    // The index counts the same list countDevices() counts. Walk it ourselves:
    // ftdi_usb_open_desc_index() numbers only the devices of one product id.
    ListDeleter devices;
    if (ftdi_usb_find_all(context.ctx, &devices.list, 0, 0) < 0)
        return Failed;

    ftdi_device_list* node = devices.list;
    for (std::uint32_t i = 0; node && i < index; ++i)
        node = node->next;
    if (!node)
        return Failed;

    if (ftdi_usb_open_dev(context.ctx, node->dev) < 0)
        return Failed; // absent by now, or held by another program

    handle = ++lastHandle_;
    boards_.emplace(handle, context.ctx);
    context.ctx = nullptr;
    return Ok;
}

UsbLibrary::Status FtdiLibrary::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    ftdi_context* ctx = find(handle);
    if (!ctx)
        return Failed;
    return ftdi_set_bitmode(ctx, mask, mode) == 0 ? Ok : Failed;
}

UsbLibrary::Status FtdiLibrary::close(Handle handle)
{
    const auto it = handle == 0 ? boards_.end() : boards_.find(handle);
    if (it == boards_.end())
        return Failed;

    ftdi_context* ctx = it->second;
    boards_.erase(it);
    // ftdi_usb_close() reports an error for a board that was pulled out; the
    // handle is released all the same, so that still counts as closed.
    ftdi_usb_close(ctx);
    ftdi_free(ctx);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::preWrite(Handle handle)
{
    ftdi_context* ctx = find(handle);
    if (!ctx)
        return Failed;
    // Throw away the pin samples the chip has queued for the host. In
    // bit-bang mode the chip samples the pins for every byte it clocks out
    // and queues the result for a bulk read that this program never does
    // (readPins() asks for the pins directly). Flushing that queue touches
    // neither the outputs nor the bit mode, and unlike flushing the other
    // direction it cannot drop a pattern that is still on its way out.
    return ftdi_tciflush(ctx) == 0 ? Ok : Failed;
}

UsbLibrary::Status FtdiLibrary::write(Handle handle, const std::uint8_t* data,
                                      std::uint32_t length, std::uint32_t& written)
{
    ftdi_context* ctx = find(handle);
    if (!ctx || (length > 0 && !data) || length > static_cast<std::uint32_t>(INT_MAX)) {
        written = 0;
        return Failed;
    }
    if (length == 0) {
        written = 0;
        return Ok;
    }

    const int result = ftdi_write_data(ctx, data, static_cast<int>(length));
    if (result < 0) {
        written = 0;
        return Failed;
    }
    written = static_cast<std::uint32_t>(result);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::readPins(Handle handle, std::uint8_t& pins)
{
    ftdi_context* ctx = find(handle);
    if (!ctx)
        return Failed;

    unsigned char levels = 0;
    if (ftdi_read_pins(ctx, &levels) != 0)
        return Failed;
    pins = levels;
    return Ok;
}
