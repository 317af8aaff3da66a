#pragma once

#include <QFile>
#include <QString>

// Where corvanectl writes its report and journal: a regular file or a new
// path, never through a symbolic link, into a device node, a FIFO (which
// would hold the run) or a folder. One port per platform.

// Why `path` may not be written as such a file; empty when it may (it is a
// regular file this user can write, or a new name in a folder that exists).
QString outputPathRefusal(const QString& path);

// Opens `path` for writing from its start, as above: refused (false, with
// why in `error`) when it is no regular file, also when it became one of
// the others since it was looked at.
bool openOutputFile(QFile& file, const QString& path, QString& error);
