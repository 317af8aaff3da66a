#pragma once

#include <QString>

// Shows a modal error message with an OK button and returns once the operator
// has dismissed it. Needs the application object; creates no QML.
void showLaunchErrorMessage(const QString& text, const QString& caption);
