#include "engine/device/ftdi_library.h"
#include "engine/device/holder_list.h"

#include <QFile>
#include <QLoggingCategory>
#include <QThread>

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
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

// What a device tells about itself. The strings come through its device
// node, which claims nothing and leaves every driver bound (lsusb reads them
// the same way), as the UTF-16 the device holds, in its first language; from
// sysfs (which anyone may read, and where the kernel keeps them as UTF-8)
// when the node cannot be opened. Either way the text is the same.
class DeviceReader {
public:
    DeviceReader(libusb_device* device, const QString& sys)
    {
        identity_.bus = libusb_get_bus_number(device);
        identity_.address = libusb_get_device_address(device);
        identity_.port = sysfsName(device);
        sysfs_ = sys + QStringLiteral("/bus/usb/devices/") + identity_.port + QLatin1Char('/');
        if (libusb_get_device_descriptor(device, &descriptor_) != 0)
            return;
        if (libusb_open(device, &usb_) != 0)
            usb_ = nullptr;
        // Descriptor 0 lists the languages the device has its strings in.
        unsigned char languages[4];
        if (usb_ && libusb_get_string_descriptor(usb_, 0, 0, languages, sizeof languages) == 4 &&
            languages[1] == LIBUSB_DT_STRING)
            language_ = std::uint16_t(languages[2] | languages[3] << 8);
    }
    ~DeviceReader()
    {
        if (usb_)
            libusb_close(usb_);
    }
    DeviceReader(const DeviceReader&) = delete;
    DeviceReader& operator=(const DeviceReader&) = delete;

    // Bus, address and port, with the serial number; all strings too when asked.
    DeviceInfo read(bool all)
    {
        DeviceInfo info = identity_;
        info.serial = text(descriptor_.iSerialNumber, "serial");
        if (all) {
            info.description = text(descriptor_.iProduct, "product");
            info.manufacturer = text(descriptor_.iManufacturer, "manufacturer");
        }
        return info;
    }

private:
    QString text(std::uint8_t index, const char* attribute) const
    {
        if (index == 0)
            return {}; // the device has no such string
        unsigned char buffer[255];
        const int got = usb_ && language_ ? libusb_get_string_descriptor(usb_, index, language_, buffer, sizeof buffer) : -1;
        if (got >= 2 && buffer[1] == LIBUSB_DT_STRING) {
            const int length = std::min(got, int(buffer[0]));
            QString value;
            for (int i = 2; i + 1 < length; i += 2)
                value += QChar(char16_t(buffer[i] | buffer[i + 1] << 8));
            return value;
        }
        QFile file(sysfs_ + QLatin1String(attribute));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QByteArray value = file.read(1024);
        if (value.endsWith('\n')) // the kernel ends every attribute with one
            value.chop(1);
        return QString::fromUtf8(value);
    }

    DeviceInfo identity_;
    QString sysfs_;
    libusb_device_descriptor descriptor_{};
    libusb_device_handle* usb_ = nullptr;
    std::uint16_t language_ = 0;
};

// "board KX001 (port 1-2)", or "the board at port 1-2" for one without a
// serial number.
QString boardName(const DeviceInfo& device)
{
    if (device.serial.isEmpty())
        return QStringLiteral("the board at port %1").arg(device.port);
    return QStringLiteral("board %1 (port %2)").arg(printableText(device.serial), device.port);
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

UsbLibrary::Status FtdiLibrary::enumerate(QList<DeviceInfo>& devices)
{
    devices.clear();
    // A fresh context every time: libusb enumerates the bus when a context
    // is created, so boards plugged in or out since the last call are seen.
    const Context context = newContext();
    if (!context)
        return fail(QStringLiteral("libftdi could not start"));
    ftdi_device_list* found = nullptr;
    const int count = ftdi_usb_find_all(context.get(), &found, 0, 0);
    const DeviceList list(found, ftdi_list_free2);
    if (count < 0)
        return fail(context.get(), "ftdi_usb_find_all");
    for (ftdi_device_list* node = list.get(); node; node = node->next)
        devices.append(DeviceReader(node->dev, usage_.roots().sys).read(true));
    return Ok;
}

UsbLibrary::Status FtdiLibrary::open(const DeviceInfo& wanted, Handle& handle)
{
    handle = 0;

    if (lastHandle_ == UINT32_MAX)
        return fail(QStringLiteral("every handle has been handed out"));

    // The device is looked for in the context that is to own the handle: a
    // device found through one context is not valid in another.
    Context context = newContext();
    if (!context)
        return fail(QStringLiteral("libftdi could not start"));
    // Hand the device back to its kernel driver (the serial port driver)
    // when it is closed, so a board we let go of is usable by others again.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    ftdi_device_list* found = nullptr;
    const int count = ftdi_usb_find_all(context.get(), &found, 0, 0);
    const DeviceList list(found, ftdi_list_free2);
    if (count < 0)
        return fail(context.get(), "ftdi_usb_find_all");
    libusb_device* device = nullptr;
    for (ftdi_device_list* node = list.get(); node && !device; node = node->next)
        if (libusb_get_bus_number(node->dev) == wanted.bus &&
            libusb_get_device_address(node->dev) == wanted.address && sysfsName(node->dev) == wanted.port)
            device = node->dev;
    if (!device)
        return fail(QStringLiteral("%1 is no longer attached").arg(boardName(wanted)));

    // Opening detaches the serial driver: not under a program using the port.
    const PortUse use = usage_.check(wanted.port);
    if (use.inUse)
        return fail(use.message());

    // Whether it is still the same board, asked without claiming it.
    const QString serial = DeviceReader(device, usage_.roots().sys).read(false).serial;
    if (serial != wanted.serial)
        return fail(QStringLiteral("%1 is no longer attached: the board at that port has %2")
                        .arg(boardName(wanted),
                             serial.isEmpty() ? QStringLiteral("no serial number")
                                              : QStringLiteral("serial number %1").arg(printableText(serial))));

    if (const int opened = ftdi_usb_open_dev(context.get(), device); opened < 0) {
        // -5: another open of the device has its interface claimed.
        if (opened == -5)
            return fail(heldBy(wanted));
        fail(context.get(), "ftdi_usb_open_dev"); // gone by now, or no access
        return fail(QStringLiteral("%1 cannot be opened: %2").arg(boardName(wanted), lastError_));
    }

    handle = ++lastHandle_;
    boards_.emplace(handle, std::move(context));
    return Ok;
}

QString FtdiLibrary::heldBy(const DeviceInfo& device) const
{
    const QString node = usage_.roots().dev + QStringLiteral("/bus/usb/%1/%2")
                                                  .arg(device.bus, 3, 10, QLatin1Char('0'))
                                                  .arg(device.address, 3, 10, QLatin1Char('0'));
    // Listing devices (ours or another program's) opens their nodes for a
    // moment and claims nothing: only who still has the node open a moment
    // later holds the board.
    if (const QString service = HolderList::holderOf(device.port); !service.isEmpty())
        return QStringLiteral("%1 is held by the board service %2").arg(boardName(device), service);
    QList<PortUse> users = usage_.openers(node);
    if (!users.isEmpty() && holderSettleMs_ > 0) {
        QThread::msleep(static_cast<unsigned long>(holderSettleMs_));
        const QList<PortUse> again = usage_.openers(node);
        users.removeIf([&](const PortUse& user) {
            return std::none_of(again.begin(), again.end(), [&](const PortUse& still) { return still.pid == user.pid; });
        });
    }
    if (users.isEmpty())
        return QStringLiteral("%1 is claimed by another program that this user cannot see; "
                              "it may be a service")
            .arg(boardName(device));
    QStringList names;
    for (const PortUse& user : users)
        names += QStringLiteral("%1 (pid %2)").arg(user.process.isEmpty() ? QStringLiteral("a process") : user.process)
                     .arg(user.pid);
    const QString last = names.takeLast();
    return QStringLiteral("%1 is open in %2")
        .arg(boardName(device), names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last);
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
