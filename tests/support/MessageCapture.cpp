#include "MessageCapture.h"

#include <QStringList>

#include <mutex>
#include <utility>

namespace {

std::mutex s_mutex;
QList<MessageCapture::Message> s_messages;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_messages.append({type, QString::fromUtf8(context.category ? context.category : ""), text});
}

} // namespace

MessageCapture::MessageCapture()
{
    take();
    m_previous = qInstallMessageHandler(capture);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
}

QList<MessageCapture::Message> MessageCapture::take()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return std::exchange(s_messages, {});
}

QStringList MessageCapture::takeTexts()
{
    QStringList texts;
    for (const Message& message : take())
        texts.append(message.text);
    return texts;
}

QStringList MessageCapture::takeLogTexts()
{
    static const QString marker = QStringLiteral(", Log:");
    QStringList texts = takeTexts();
    for (QString& text : texts) {
        const qsizetype at = text.indexOf(marker);
        if (at >= 0)
            text = text.mid(at + marker.size());
    }
    return texts;
}
