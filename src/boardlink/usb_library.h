#pragma once

#include <cstdint>

// The seven operations of the USB interface chip's driver library that the
// program uses. Handles are opaque non-zero values; zero means "no handle".
// Every operation returns a status (0 = success) that callers are free to
// ignore: a failing call must have no effect, and must never crash, even on
// a zero, closed or stale handle or on a board that was pulled out.
class UsbLibrary {
public:
    using Handle = std::uint32_t;
    using Status = int;

    static constexpr Status Ok = 0;
    static constexpr Status Failed = 1;

    virtual ~UsbLibrary() = default;

    // Writes the number of attached devices into count.
    virtual Status countDevices(std::uint32_t& count) = 0;

    // Opens the device with the given zero-based index. Writes a non-zero
    // handle on success and zero on failure (absent, or held elsewhere).
    virtual Status openByIndex(std::uint32_t index, Handle& handle) = 0;

    // Sets the chip's bit mode: mask 0xFF with mode 0x01 is asynchronous
    // bit-bang with all eight data pins as outputs.
    virtual Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) = 0;

    // Releases the handle.
    virtual Status close(Handle handle) = 0;

    // Called right before every write; leaves the device in bit-bang mode.
    virtual Status preWrite(Handle handle) = 0;

    // Drives data[0..length) onto the pins; writes the number of bytes taken.
    virtual Status write(Handle handle, const std::uint8_t* data, std::uint32_t length,
                         std::uint32_t& written) = 0;

    // Writes the present pin levels into pins; leaves pins untouched on failure.
    virtual Status readPins(Handle handle, std::uint8_t& pins) = 0;
};
