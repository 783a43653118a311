// Board discovery and selection.
#include "app/color_panel.h"
#include "app/form1.h"
#include "boardlink/board_combo_box.h"
#include "boardlink/usb_library.h"

#include <QLineEdit>

void TForm1::DiscoverBoards()
{
    ComboBox1->clear();
    boards.count = 0;
    library_.countDevices(boards.count);

    if (boards.count == 0) {
        ComboBox1->setEditText(QStringLiteral("No Boards Found"));
        Panel27->setColor(Colors::Red);
        Panel27->setText(QStringLiteral("Board not found !"));
        return;
    }

    // Reopens slot k with device k in bit-bang mode, closing what it held.
    auto reopen = [this](int k) {
        auto& handle = boards.handles[static_cast<std::size_t>(k)];
        if (handle != 0)
            library_.close(handle);
        library_.openByIndex(static_cast<std::uint32_t>(k), handle);
        library_.setBitMode(handle, BoardTable::BoardMask, BoardTable::BoardMode);
    };

    if (boards.count == 1) {
        reopen(0);
        ComboBox1->addItem(QStringLiteral("Relay Board 1"));
    } else {
        // The table has room for the first 35 boards; those are listed.
        const int listed = static_cast<int>(std::min<std::uint32_t>(boards.count, BoardTable::SlotCount));
        for (int n = 1; n <= listed; ++n) {
            reopen(n - 1);
            ComboBox1->addItem(boardEntryText(n));
        }
    }
    // Discovery picks no entry: the list's index stays unset, and the box
    // shows the first board's name.
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(QStringLiteral("Relay Board 1"));
}

void TForm1::ComboBox1DropDown()
{
    DiscoverBoards();
}

void TForm1::ComboBox1Change()
{
    const int index = ComboBox1->currentIndex();
    // Text typed into the box picks no entry and names no board: the
    // selection stays as it was.
    if (index < 0 || index >= BoardTable::SlotCount)
        return;
    boards.selected = index;

    if (boards.selectedHandle() != 0) {
        Panel27->setColor(Colors::Lime);
        Panel27->setText(QStringLiteral("Board found !"));
        IndicatorsFromBoard();
        CaptionsFromBoard();
        UpdateCurrentRowFromBoard();
        UpdateStepBarsFromBoard();
        UpdateCurrentRowDuration();
    } else {
        Panel27->setColor(Colors::Red);
        Panel27->setText(QStringLiteral("Board not found or already opened!"));
    }
}
