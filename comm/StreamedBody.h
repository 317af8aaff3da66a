#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>

#include <memory>

// A request body that is mostly one file: the bytes before it, the open file
// (read from its current position, `fileSize` bytes), the bytes after it, and
// the header fields that describe the whole. An upload takes it over, file
// and all, and may read it on a thread of its own.
struct StreamedBody
{
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray head;
    std::unique_ptr<QFile> file;
    qint64 fileSize = 0;
    QByteArray tail;

    qint64 size() const { return head.size() + fileSize + tail.size(); }
};
