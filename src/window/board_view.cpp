#include "window/board_view.h"

#include "engine/device/simulated_library.h"

#include <QGridLayout>
#include <QLabel>
#include <QTimer>

BoardView::BoardView(SimulatedLibrary& library, QWidget* parent)
    : QWidget(parent, Qt::Window), library_(library)
{
    setObjectName(QStringLiteral("BoardView"));
    setWindowTitle(QStringLiteral("Board view"));
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* grid = new QGridLayout(this);
    for (int relay = 1; relay <= 8; ++relay) {
        auto* heading = new QLabel(QString::number(relay), this);
        heading->setAlignment(Qt::AlignCenter);
        grid->addWidget(heading, 0, relay);
    }
    for (int board = 0; board < library_.boardCount(); ++board) {
        grid->addWidget(new QLabel(QStringLiteral("Relay Board %1  %2").arg(board + 1).arg(library_.serial(board)), this), board + 1, 0);
        std::vector<QLabel*> row;
        for (int relay = 1; relay <= 8; ++relay) {
            auto* lamp = new QLabel(this);
            lamp->setObjectName(QStringLiteral("Lamp%1_%2").arg(board + 1).arg(relay));
            lamp->setFixedSize(22, 22);
            grid->addWidget(lamp, board + 1, relay);
            row.push_back(lamp);
        }
        lamps_.push_back(row);
        shownPins_.push_back(-1);  // every lamp is styled on the first refresh
        auto* state = new QLabel(this);
        state->setMinimumWidth(90);
        grid->addWidget(state, board + 1, 9);
        states_.push_back(state);
    }

    library_.setWriteObserver([this](int, std::uint8_t) { refresh(); });
    // Opening, closing and unplugging show up without a write.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &BoardView::refresh);
    poll->start(250);
    refresh();
}

BoardView::~BoardView()
{
    library_.setWriteObserver(nullptr);
}

bool BoardView::lampOn(int board, int relay) const
{
    return (library_.pins(board) >> (relay - 1)) & 1;
}

void BoardView::refresh()
{
    for (std::size_t board = 0; board < lamps_.size(); ++board) {
        const int b = static_cast<int>(board);
        // Restyling is costly and writes come once a tick: touch only the
        // lamps whose relay changed.
        const int pins = library_.pins(b);
        const int changed = pins ^ shownPins_[board];
        shownPins_[board] = pins;
        for (int relay = 1; relay <= 8; ++relay) {
            if (!((changed >> (relay - 1)) & 1))
                continue;
            lamps_[board][static_cast<std::size_t>(relay - 1)]->setStyleSheet(
                lampOn(b, relay)
                    ? QStringLiteral("background:#00ff00; border-radius:11px; border:1px solid #222;")
                    : QStringLiteral("background:#600000; border-radius:11px; border:1px solid #222;"));
        }
        const QString state = !library_.isAttached(b) ? QStringLiteral("pulled out")
                              : library_.isOpen(b)    ? QStringLiteral("open")
                                                      : QStringLiteral("not open");
        states_[board]->setText(state);
    }
}
