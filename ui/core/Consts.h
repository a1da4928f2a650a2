#pragma once
// Modal results of the program's dialogs.
namespace ui {
constexpr int mrNone = 0;
constexpr int mrOK = 1;
constexpr int mrCancel = 2;
}  // namespace ui
