#pragma once

#include <QString>

// Logs "<caption>: <text>", then shows a modal error message with an OK
// button and returns once the operator has dismissed it. Creates no QML.
// Without a GUI application object or on a platform without a screen
// (offscreen, minimal) the log line is all there is, and it returns at once.
void showLaunchErrorMessage(const QString& text, const QString& caption);
