#pragma once

#include "engine/device/usb_library.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

// Relay boards that live in memory. Each board has a pin byte that follows
// every byte written to it; a board can be held by another process (its open
// fails), pulled out and plugged back (calls on it fail without effect until
// it is opened again), or have stuck pins that read back fixed levels.
// Every call is logged with its time, so tests and benchmarks can see each
// byte written and when it reached the board.
class SimulatedLibrary final : public UsbLibrary {
public:
    enum class Op { Count, Open, SetBitMode, Close, PreWrite, Write, ReadPins };

    struct Call {
        Op op;
        int board;                  // -1 when the call named no board
        std::uint8_t byte;          // byte written, pins read back, or bit mask set
        Status status;
        std::chrono::steady_clock::time_point at;
    };

    // Adds an attached board with all pins low; returns its board number,
    // which is also its device index while every earlier board is attached.
    int addBoard();
    // Each board has a serial of its own, "KSIM0001" for board 0 unless set.
    void setSerial(int board, const QString& serial);
    QString serial(int board) const;
    int boardCount() const { return static_cast<int>(boards_.size()); }

    void setHeldElsewhere(int board, bool held);
    // Pulling a board out invalidates its open handles; plugging it back in
    // keeps them invalid, as a real re-enumeration would.
    void setAttached(int board, bool attached);
    bool isAttached(int board) const;
    bool isOpen(int board) const;
    std::uint8_t pins(int board) const;
    // Sets the pins as an earlier session left them, without a logged write.
    void setPins(int board, std::uint8_t levels);
    std::uint8_t bitMode(int board) const;
    // Bits in mask read back as the matching bits of levels, whatever is written.
    void forcePins(int board, std::uint8_t mask, std::uint8_t levels);
    std::vector<std::uint8_t> writes(int board) const;
    int openCount(int board) const;
    int closeCount(int board) const;

    const std::vector<Call>& calls() const { return calls_; }
    void clearLog();
    void setLogging(bool on) { logging_ = on; }

    // Called after every successful write, with the board and the byte.
    void setWriteObserver(std::function<void(int, std::uint8_t)> observer);

    Status enumerate(QList<DeviceInfo>& devices) override;
    Status open(const DeviceInfo& device, Handle& handle) override;
    Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Status close(Handle handle) override;
    Status preWrite(Handle handle) override;
    Status write(Handle handle, const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t& written) override;
    Status readPins(Handle handle, std::uint8_t& pins) override;

private:
    struct Board {
        std::uint8_t latch = 0;
        std::uint8_t stuckMask = 0;
        std::uint8_t stuckLevels = 0;
        std::uint8_t mode = 0;
        bool attached = true;
        bool heldElsewhere = false;
        int opens = 0;
        int closes = 0;
        std::vector<std::uint8_t> written;
        QString serial;
    };

    bool validBoard(int board) const;
    DeviceInfo info(int board) const;
    int boardOf(Handle handle) const;  // -1 when the handle is not live
    std::uint8_t levels(const Board& b) const;
    Status log(Op op, int board, std::uint8_t byte, Status status);

    std::vector<Board> boards_;
    std::map<Handle, int> open_;
    Handle nextHandle_ = 0x1000;
    std::vector<Call> calls_;
    bool logging_ = true;
    std::function<void(int, std::uint8_t)> writeObserver_;
};
