#pragma once
// The Qt 6 Widgets backend: real windows, QTimer, QMessageBox and
// QSystemTrayIcon. Toolkit events become the components' events and window
// messages; no exception leaves a handler into Qt. This header names no Qt
// type, so the program entry can choose the backend without the toolkit.
#include <functional>
#include <memory>

#include "ui/Backend.h"

// Makes the QApplication (with no command-line arguments besides the program's
// own path) and the backend around it. One per process.
std::unique_ptr<TBackend> CreateQtBackend();

// Runs OnReadable (through the application's exception handler) whenever the
// descriptor Handle has something to read, for as long as the Qt backend
// lives; a negative Handle is ignored. The program's single-instance socket
// reaches the message loop this way.
void WatchReadable(int Handle, std::function<void()> OnReadable);
