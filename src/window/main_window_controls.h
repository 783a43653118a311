#pragma once

// The main window's table of relay controls: the names its layout gives
// them and where they stand, shared by the layout and the wiring.

#include "session/window_session.h"

#include <QPoint>

namespace MainWindowLayout {
// How each relay is wired to its controls, and where those stand.
struct RelayWiring {
    const char* manualButton;
    QPoint manualAt;
    const char* indicator;
    QPoint indicatorAt;
    const char* stepBar;
    int barLeft;
};

constexpr int RelayCount = WindowSession::RelayCount;
inline const RelayWiring Wiring[RelayCount + 1] = {
    {},
    {"Button2", {88, 40}, "Panel10", {0, 56}, "Button18", 16},
    {"Button3", {88, 96}, "Panel9", {0, 120}, "Button17", 96},
    {"Button1", {88, 160}, "Panel8", {0, 184}, "Button16", 176},
    {"Button4", {88, 224}, "Panel7", {0, 248}, "Button15", 256},
    {"Button5", {376, 224}, "Panel6", {736, 248}, "Button14", 336},
    {"Button6", {376, 160}, "Panel5", {736, 184}, "Button13", 416},
    {"Button7", {376, 96}, "Panel4", {736, 120}, "Button12", 496},
    {"Button8", {376, 40}, "Panel3", {736, 56}, "Button11", 576},
};

inline const char* const EditedIndexProperty = "editedLabelIndex";
}  // namespace MainWindowLayout
