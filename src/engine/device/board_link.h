#pragma once

#include "engine/device/board_rules.h"
#include "engine/device/usb_library.h"
#include "engine/outcome.h"

#include <QList>
#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class BoardLock;

// The attached boards, shared by whoever needs them: discovery over a
// UsbLibrary, a table of open handles (slot k holds device k), and the write
// and read-back calls. Each call returns its status; a failing write or read
// also emits failed(), which a front end may show or ignore.
class BoardLink final : public QObject {
    Q_OBJECT
public:
    static constexpr int SlotCount = 35;
    static constexpr std::uint8_t OutputMask = 0xFF;  // all eight data pins are outputs
    static constexpr std::uint8_t BitBangMode = 0x01; // asynchronous bit-bang

    explicit BoardLink(UsbLibrary& library, QObject* parent = nullptr);
    ~BoardLink() override;  // closes every board still open

    UsbLibrary& library() const { return library_; }

    // Where each board opened from now on gets its rules (boards.conf);
    // without a source a board has none: no interlock, not inverted. A
    // device the source refuses is not opened (see openError).
    using RulesSource = std::function<Outcome<BoardRules>(const DeviceInfo&)>;
    void setRulesSource(RulesSource source) { rulesSource_ = std::move(source); }
    // The rules of the board open in slot index (none when it is empty).
    const BoardRules& rules(int index) const;
    // The folder of the boards' lock files; the library's unless a test says.
    void setLockFolder(const QString& folder) { lockFolder_ = folder; }
    // Takes the lock of the board open in slot index, or else of device
    // index of the latest discovery (see BoardLock).
    std::unique_ptr<BoardLock> lock(int index, int waitMs, const std::function<void(const QString&)>& waiting = {},
                                    const std::function<bool()>& giveUp = {}) const;

    // Looks at the bus once and records every attached device with its
    // identity; claims nothing. The count is 0 when the look fails.
    int discover();
    // How often discover() tries a look that fails, 10 ms apart (4 by
    // default); 1 for a caller whose thread may not wait.
    void setDiscoverAttempts(int attempts) { discoverAttempts_ = attempts; }
    int count() const { return static_cast<int>(devices_.size()); }
    // Device index (0-based) as the latest discovery recorded it.
    std::optional<DeviceInfo> describe(int index) const;
    // Discovers, then gives every device recorded.
    QList<DeviceInfo> list();

    // Opens device index of the latest discovery into its slot in bit-bang
    // mode, through its recorded identity: a device that is no longer the
    // one recorded is not touched.
    UsbLibrary::Status open(int index);
    // Opens this device into slot in bit-bang mode, closing what the slot
    // held first. The slot keeps whatever handle the library gave, so a
    // failed open leaves it empty. Returns the status of the open, or of the
    // bit-mode call after a successful open. An inverted board's lines are
    // made outputs only after its latch holds the levels its pins had, so
    // that the open switches no relay on (a fresh chip's latch is 0x00,
    // which would close every relay of an active-low board).
    UsbLibrary::Status open(int slot, const DeviceInfo& device);
    // Closes one slot; the other boards stay open.
    void close(int index);
    void closeAll();
    bool isOpen(int index) const { return handle(index) != 0; }
    UsbLibrary::Handle handle(int index) const;

    // The pre-write call, then one byte: bit n-1 set switches relay n on
    // (on an inverted board, its pin goes low).
    UsbLibrary::Status write(int index, std::uint8_t byte);
    // The relays on, from the pin levels; pins is left as it was when the
    // read fails.
    UsbLibrary::Status read(int index, std::uint8_t& pins);

    // The library's words for the latest failure, or a generic text.
    QString lastError() const;
    // Why the latest open failed: the rules source's refusal, else the
    // library's words (empty when it cannot tell).
    QString openError() const { return refusal_.isEmpty() ? library_.lastError() : refusal_; }

signals:
    // A write or read on an open slot failed (a board pulled out, say).
    void failed(int index, const QString& what);

private:
    UsbLibrary& library_;
    UsbLibrary::Status openInverted(UsbLibrary::Handle handle);

    std::array<UsbLibrary::Handle, SlotCount> handles_{};
    std::array<BoardRules, SlotCount> rules_{};
    std::array<QString, SlotCount> ports_{};
    QList<DeviceInfo> devices_;
    RulesSource rulesSource_;
    QString lockFolder_;
    int discoverAttempts_ = 4;
    QString refusal_;  // of the latest open
};
