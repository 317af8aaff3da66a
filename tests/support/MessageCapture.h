#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Collects the program's debug messages (Logger's lines among them) while
// it exists, from any thread, instead of printing them. One at a time.
class MessageCapture
{
public:
    struct Message
    {
        QtMsgType type;
        QString category;
        QString text;
    };

    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    // The messages since the last call, oldest first.
    QList<Message> take();
    QStringList takeTexts();
    // As takeTexts, with Logger's lines cut down to the text they were given.
    QStringList takeLogTexts();

private:
    QtMessageHandler m_previous = nullptr;
};
