#include "ftdi_library.h"

#include <QFile>
#include <QLoggingCategory>

#include <ftdi.h>
#include <libusb.h>

#include <climits>

Q_LOGGING_CATEGORY(lcFtdi, "kestrune.ftdi", QtInfoMsg)

namespace {

// The device's name in sysfs: bus, then the hub ports on its way, "1-1.2".
QString sysfsName(libusb_device* device)
{
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    QString name = QString::number(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i)
        name += (i == 0 ? QLatin1Char('-') : QLatin1Char('.')) + QString::number(ports[i]);
    return name;
}

// A string descriptor through an open device node; empty when the device
// has none or does not answer.
QString stringDescriptor(libusb_device_handle* usb, std::uint8_t index)
{
    if (!usb || index == 0)
        return {};
    unsigned char text[256];
    const int length = libusb_get_string_descriptor_ascii(usb, index, text, sizeof text);
    return length > 0 ? QString::fromLatin1(reinterpret_cast<const char*>(text), length) : QString();
}

} // namespace

FtdiLibrary::FtdiLibrary(const SystemRoots& roots)
    : usage_(roots)
{
}

FtdiLibrary::~FtdiLibrary()
{
    while (!boards_.empty())
        close(boards_.begin()->first);
}

FtdiLibrary::Context FtdiLibrary::newContext()
{
    return Context(ftdi_new(), ftdi_free);
}

ftdi_context* FtdiLibrary::find(Handle handle)
{
    const auto it = handle == 0 ? boards_.end() : boards_.find(handle);
    if (it == boards_.end()) {
        lastError_.clear(); // nothing to tell: no such open board
        return nullptr;
    }
    return it->second.get();
}

UsbLibrary::Status FtdiLibrary::fail(ftdi_context* ctx, const char* call)
{
    const char* text = ctx ? ftdi_get_error_string(ctx) : nullptr;
    lastError_ = QString::fromLocal8Bit(text ? text : "");
    qCDebug(lcFtdi, "%s failed: %s", call, text ? text : "(no context)");
    return Failed;
}

UsbLibrary::Status FtdiLibrary::fail(const QString& reason)
{
    lastError_ = reason;
    qCDebug(lcFtdi).noquote() << reason;
    return Failed;
}

libusb_device* FtdiLibrary::deviceAt(ftdi_context* ctx, std::uint32_t index, DeviceList& list)
{
    ftdi_device_list* found = nullptr;
    const int count = ftdi_usb_find_all(ctx, &found, 0, 0);
    list.reset(found);
    if (count < 0) {
        fail(ctx, "ftdi_usb_find_all");
        return nullptr;
    }
    // The index counts the same list countDevices() counts. Walk it here:
    // ftdi_usb_open_desc_index() numbers only the devices of one product id.
    ftdi_device_list* node = list.get();
    for (std::uint32_t i = 0; node && i < index; ++i)
        node = node->next;
    if (!node) {
        fail(QStringLiteral("no device %1: %2 attached").arg(index).arg(count));
        return nullptr;
    }
    return node->dev;
}

UsbLibrary::Status FtdiLibrary::countDevices(std::uint32_t& count)
{
    // A fresh context every time: libusb enumerates the bus when a context
    // is created, so boards plugged in or out since the last call are seen.
    const Context context = newContext();
    if (!context)
        return fail(QStringLiteral("libftdi could not start"));
    ftdi_device_list* found = nullptr;
    const int devices = ftdi_usb_find_all(context.get(), &found, 0, 0);
    const DeviceList list(found, ftdi_list_free2);
    if (devices < 0)
        return fail(context.get(), "ftdi_usb_find_all");
    count = static_cast<std::uint32_t>(devices);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::describe(std::uint32_t index, DeviceInfo& info)
{
    const Context context = newContext();
    if (!context)
        return fail(QStringLiteral("libftdi could not start"));
    DeviceList list(nullptr, ftdi_list_free2);
    libusb_device* device = deviceAt(context.get(), index, list);
    if (!device)
        return Failed;

    info = DeviceInfo{};
    info.bus = libusb_get_bus_number(device);
    info.address = libusb_get_device_address(device);
    info.port = sysfsName(device);

    // Opening the node claims no interface and detaches no driver: reading
    // the strings is what lsusb does too.
    libusb_device_descriptor descriptor{};
    libusb_device_handle* usb = nullptr;
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || libusb_open(device, &usb) != 0)
        usb = nullptr;
    const auto text = [&](std::uint8_t string, const char* attribute) {
        QString value = stringDescriptor(usb, string);
        if (value.isEmpty()) { // anyone may read these, node or no node
            QFile file(usage_.roots().sys + QStringLiteral("/bus/usb/devices/") + info.port +
                       QLatin1Char('/') + QLatin1String(attribute));
            if (file.open(QIODevice::ReadOnly))
                value = QString::fromUtf8(file.read(256)).trimmed();
        }
        return value;
    };
    info.serial = text(descriptor.iSerialNumber, "serial");
    info.description = text(descriptor.iProduct, "product");
    info.manufacturer = text(descriptor.iManufacturer, "manufacturer");
    if (usb)
        libusb_close(usb);
    return Ok;
}

UsbLibrary::Status FtdiLibrary::openByIndex(std::uint32_t index, Handle& handle)
{
    handle = 0;

    if (lastHandle_ == UINT32_MAX)
        return fail(QStringLiteral("every handle has been handed out"));

    Context context = newContext();
    if (!context)
        return fail(QStringLiteral("libftdi could not start"));
    // Hand the device back to its kernel driver (the serial port driver)
    // when it is closed, so a board we let go of is usable by others again.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    DeviceList list(nullptr, ftdi_list_free2);
    libusb_device* device = deviceAt(context.get(), index, list);
    if (!device)
        return Failed;

    // Opening detaches the serial driver: not under a program using the port.
    const PortUse use = usage_.check(sysfsName(device));
    if (use.inUse)
        return fail(use.message());

    if (ftdi_usb_open_dev(context.get(), device) < 0)
        return fail(context.get(), "ftdi_usb_open_dev"); // absent by now, or held elsewhere

    handle = ++lastHandle_;
    boards_.emplace(handle, std::move(context));
    return Ok;
}

UsbLibrary::Status FtdiLibrary::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    ftdi_context* ctx = find(handle);
    if (!ctx)
        return Failed;
    return ftdi_set_bitmode(ctx, mask, mode) == 0 ? Ok : fail(ctx, "ftdi_set_bitmode");
}

UsbLibrary::Status FtdiLibrary::close(Handle handle)
{
    const auto it = handle == 0 ? boards_.end() : boards_.find(handle);
    if (it == boards_.end()) {
        lastError_.clear();
        return Failed;
    }
    // ftdi_usb_close() reports an error for a board that was pulled out; the
    // handle is released all the same, so that still counts as closed.
    if (ftdi_usb_close(it->second.get()) != 0) {
        const char* text = ftdi_get_error_string(it->second.get());
        qCDebug(lcFtdi, "ftdi_usb_close failed: %s", text ? text : "");
    }
    boards_.erase(it);
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
    return ftdi_tciflush(ctx) == 0 ? Ok : fail(ctx, "ftdi_tciflush");
}

UsbLibrary::Status FtdiLibrary::write(Handle handle, const std::uint8_t* data,
                                      std::uint32_t length, std::uint32_t& written)
{
    written = 0;
    ftdi_context* ctx = find(handle);
    if (!ctx)
        return Failed;
    if ((length > 0 && !data) || length > static_cast<std::uint32_t>(INT_MAX))
        return fail(QStringLiteral("invalid buffer"));
    if (length == 0)
        return Ok;

    const int result = ftdi_write_data(ctx, data, static_cast<int>(length));
    if (result < 0)
        return fail(ctx, "ftdi_write_data");
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
        return fail(ctx, "ftdi_read_pins");
    pins = levels;
    return Ok;
}
