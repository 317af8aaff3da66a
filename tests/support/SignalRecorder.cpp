#include "SignalRecorder.h"

#include <QMetaMethod>

#include <utility>

SignalRecorder::SignalRecorder(QObject* watched)
{
    const QMetaObject* meta = watched->metaObject();
    const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("record()"));
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        // A signal with default arguments also appears once per shorter form.
        if (method.methodType() == QMetaMethod::Signal && !(method.attributes() & QMetaMethod::Cloned))
            connect(watched, method, this, slot);
    }
}

QStringList SignalRecorder::take()
{
    return std::exchange(m_names, {});
}

void SignalRecorder::record()
{
    m_names << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name());
}
