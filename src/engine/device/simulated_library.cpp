#include "engine/device/simulated_library.h"

int SimulatedLibrary::addBoard()
{
    boards_.emplace_back();
    boards_.back().serial = QStringLiteral("KSIM%1").arg(boards_.size(), 4, 10, QLatin1Char('0'));
    return static_cast<int>(boards_.size()) - 1;
}

void SimulatedLibrary::setPins(int board, std::uint8_t levels)
{
    if (validBoard(board))
        boards_[static_cast<std::size_t>(board)].latch = levels;
}

QString SimulatedLibrary::serial(int board) const
{
    return validBoard(board) ? boards_[static_cast<std::size_t>(board)].serial : QString();
}

void SimulatedLibrary::setSerial(int board, const QString& serial)
{
    if (validBoard(board))
        boards_[static_cast<std::size_t>(board)].serial = serial;
}

bool SimulatedLibrary::validBoard(int board) const
{
    return board >= 0 && board < static_cast<int>(boards_.size());
}

void SimulatedLibrary::setHeldElsewhere(int board, bool held)
{
    if (validBoard(board))
        boards_[static_cast<std::size_t>(board)].heldElsewhere = held;
}

void SimulatedLibrary::setAttached(int board, bool attached)
{
    if (!validBoard(board))
        return;
    auto& b = boards_[static_cast<std::size_t>(board)];
    b.attached = attached;
    if (!attached) {
        // The handles die with the device; the relays drop out with its power.
        std::erase_if(open_, [board](const auto& entry) { return entry.second == board; });
        b.latch = 0;
        b.mode = 0;
    }
}

bool SimulatedLibrary::isAttached(int board) const
{
    return validBoard(board) && boards_[static_cast<std::size_t>(board)].attached;
}

bool SimulatedLibrary::isOpen(int board) const
{
    for (const auto& [handle, b] : open_)
        if (b == board)
            return true;
    return false;
}

std::uint8_t SimulatedLibrary::levels(const Board& b) const
{
    return static_cast<std::uint8_t>((b.latch & ~b.stuckMask) | (b.stuckLevels & b.stuckMask));
}

std::uint8_t SimulatedLibrary::pins(int board) const
{
    return validBoard(board) ? levels(boards_[static_cast<std::size_t>(board)]) : 0;
}

std::uint8_t SimulatedLibrary::bitMode(int board) const
{
    return validBoard(board) ? boards_[static_cast<std::size_t>(board)].mode : 0;
}

void SimulatedLibrary::forcePins(int board, std::uint8_t mask, std::uint8_t levels)
{
    if (!validBoard(board))
        return;
    auto& b = boards_[static_cast<std::size_t>(board)];
    b.stuckMask = mask;
    b.stuckLevels = static_cast<std::uint8_t>(levels & mask);
}

std::vector<std::uint8_t> SimulatedLibrary::writes(int board) const
{
    return validBoard(board) ? boards_[static_cast<std::size_t>(board)].written
                             : std::vector<std::uint8_t>{};
}

int SimulatedLibrary::openCount(int board) const
{
    return validBoard(board) ? boards_[static_cast<std::size_t>(board)].opens : 0;
}

int SimulatedLibrary::closeCount(int board) const
{
    return validBoard(board) ? boards_[static_cast<std::size_t>(board)].closes : 0;
}

void SimulatedLibrary::clearLog()
{
    calls_.clear();
    for (auto& b : boards_)
        b.written.clear();
}

void SimulatedLibrary::setWriteObserver(std::function<void(int, std::uint8_t)> observer)
{
    writeObserver_ = std::move(observer);
}

int SimulatedLibrary::boardOf(Handle handle) const
{
    const auto it = open_.find(handle);
    return it == open_.end() ? -1 : it->second;
}

UsbLibrary::Status SimulatedLibrary::log(Op op, int board, std::uint8_t byte, Status status)
{
    if (logging_)
        calls_.push_back({op, board, byte, status, std::chrono::steady_clock::now()});
    return status;
}

DeviceInfo SimulatedLibrary::info(int board) const
{
    DeviceInfo info;
    info.serial = boards_[static_cast<std::size_t>(board)].serial;
    info.description = QStringLiteral("Simulated relay board");
    info.manufacturer = QStringLiteral("Kestrune");
    info.bus = 1;
    info.address = board + 2;
    info.port = QStringLiteral("1-%1").arg(board + 1);
    return info;
}

UsbLibrary::Status SimulatedLibrary::enumerate(QList<DeviceInfo>& devices)
{
    // The attached boards, in board order.
    devices.clear();
    for (std::size_t i = 0; i < boards_.size(); ++i)
        if (boards_[i].attached)
            devices.append(info(static_cast<int>(i)));
    return log(Op::Count, -1, static_cast<std::uint8_t>(devices.size()), Ok);
}

UsbLibrary::Status SimulatedLibrary::open(const DeviceInfo& device, Handle& handle)
{
    handle = 0;
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        auto& b = boards_[i];
        const int board = static_cast<int>(i);
        const DeviceInfo now = info(board);
        if (!b.attached || now.address != device.address || now.port != device.port || now.serial != device.serial)
            continue;
        if (b.heldElsewhere || isOpen(board))
            return log(Op::Open, board, 0, Failed);
        handle = nextHandle_++;
        open_[handle] = board;
        ++b.opens;
        return log(Op::Open, board, 0, Ok);
    }
    return log(Op::Open, -1, 0, Failed);
}

UsbLibrary::Status SimulatedLibrary::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    const int board = boardOf(handle);
    if (board < 0)
        return log(Op::SetBitMode, -1, mask, Failed);
    // Only the all-outputs bit-bang mode drives every relay pin.
    boards_[static_cast<std::size_t>(board)].mode = mask == 0xFF ? mode : 0;
    return log(Op::SetBitMode, board, mask, Ok);
}

UsbLibrary::Status SimulatedLibrary::close(Handle handle)
{
    const int board = boardOf(handle);
    if (board < 0)
        return log(Op::Close, -1, 0, Failed);
    open_.erase(handle);
    ++boards_[static_cast<std::size_t>(board)].closes;
    return log(Op::Close, board, 0, Ok);
}

UsbLibrary::Status SimulatedLibrary::preWrite(Handle handle)
{
    const int board = boardOf(handle);
    return log(Op::PreWrite, board, 0, board < 0 ? Failed : Ok);
}

UsbLibrary::Status SimulatedLibrary::write(Handle handle, const std::uint8_t* data,
                                           std::uint32_t length, std::uint32_t& written)
{
    const int board = boardOf(handle);
    if (board < 0 || data == nullptr || length == 0)
        return log(Op::Write, board, 0, Failed);
    auto& b = boards_[static_cast<std::size_t>(board)];
    for (std::uint32_t i = 0; i < length; ++i) {
        if (b.mode == 0x01)
            b.latch = data[i];
        b.written.push_back(data[i]);
    }
    written = length;
    log(Op::Write, board, data[length - 1], Ok);
    if (writeObserver_)
        writeObserver_(board, data[length - 1]);
    return Ok;
}

UsbLibrary::Status SimulatedLibrary::readPins(Handle handle, std::uint8_t& pins)
{
    const int board = boardOf(handle);
    if (board < 0)
        return log(Op::ReadPins, -1, 0, Failed);
    pins = levels(boards_[static_cast<std::size_t>(board)]);
    return log(Op::ReadPins, board, pins, Ok);
}
