// SPDX-License-Identifier: MIT
#include "ui_mainwindow.h"

#include <type_traits>

// The window allocates the record zero-filled and deletes it on its own, while
// the widgets go with the window: that only holds for a record of plain,
// non-owning pointers, one per action, widget, layout and menu.
static_assert(sizeof(Ui::MainWindow) == 64 * sizeof(void *));
static_assert(std::is_trivially_destructible_v<Ui::MainWindow>);
static_assert(!std::is_polymorphic_v<Ui::MainWindow>);
