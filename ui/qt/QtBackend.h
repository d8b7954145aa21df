#pragma once
// The Qt 6 Widgets backend: real windows, QTimer, QMessageBox and
// QSystemTrayIcon. Toolkit events become the components' events and window
// messages; no exception leaves a handler into Qt. This header names no Qt
// type, so the program entry can choose the backend without the toolkit.
#include <memory>

#include "ui/Backend.h"

// Makes the QApplication (with no command-line arguments besides the program's
// own path) and the backend around it. One per process.
std::unique_ptr<TBackend> CreateQtBackend();
