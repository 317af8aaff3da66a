#pragma once

class QCoreApplication;

// Lets the operating system's polite stop requests (terminal interrupt,
// session end, kill's default) end the event loop normally, so that the
// program shuts down as if its window had been closed.
void quitOnTerminationSignals(QCoreApplication& app);
