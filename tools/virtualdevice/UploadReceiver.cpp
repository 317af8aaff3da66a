#include "UploadReceiver.h"

namespace {

constexpr qsizetype kKeepBytes = 16;
constexpr qsizetype kMaxHashPart = 128;

bool isImage(const QByteArray& head, const QByteArray& tail, qint64 size)
{
    static const QByteArray pngSignature = QByteArray::fromHex("89504e470d0a1a0a");
    static const QByteArray pngEnd = QByteArray::fromHex("0000000049454e44ae426082");
    if (size >= 8 + 25 + 12 && head.startsWith(pngSignature) && head.mid(12, 4) == "IHDR" && tail.endsWith(pngEnd))
        return true;
    static const QByteArray jpegStart = QByteArray::fromHex("ffd8ff");
    static const QByteArray jpegEnd = QByteArray::fromHex("ffd9");
    return size >= 4 && head.startsWith(jpegStart) && tail.endsWith(jpegEnd);
}

} // namespace

const char* UploadReceiver::fieldName(Kind kind)
{
    switch (kind) {
    case Kind::Firmware:
        return "firmware_file";
    case Kind::Import:
        return "configuration_file";
    case Kind::StandbyImage:
        return "standby_screen_image_file";
    }
    return "";
}

bool UploadReceiver::contentTypeFits(Kind kind, const QByteArray& contentType)
{
    switch (kind) {
    case Kind::Firmware:
        return contentType == "application/octet-stream";
    case Kind::Import:
        return contentType == "text/xml";
    case Kind::StandbyImage:
        return contentType == "image/jpeg" || contentType == "image/png";
    }
    return false;
}

UploadReceiver::UploadReceiver(Kind kind)
    : m_kind(kind)
{
}

void UploadReceiver::reject(int status, const QString& error)
{
    if (!hasError()) {
        m_outcome.status = status;
        m_outcome.error = error;
    }
}

void UploadReceiver::onPartBegin(const MultipartParser::PartHead& head)
{
    m_current = Current::Ignored;
    if (hasError())
        return;
    // Form data names its fields with "form-data"; curl's multipart/mixed
    // bodies say "attachment". Either way the name is what counts.
    if (head.disposition != "form-data" && head.disposition != "attachment") {
        reject(400, QStringLiteral("part without a form-data disposition"));
        return;
    }
    if (head.name == "hash_value") {
        if (m_seenHash) {
            reject(400, QStringLiteral("second hash_value part"));
            return;
        }
        m_seenHash = true;
        m_current = Current::Hash;
        return;
    }
    if (head.name == fieldName(m_kind)) {
        if (m_seenFile) {
            reject(400, QStringLiteral("second %1 part").arg(QLatin1String(fieldName(m_kind))));
            return;
        }
        if (!contentTypeFits(m_kind, head.contentType)) {
            reject(415, QStringLiteral("content type \"%1\" does not fit this endpoint")
                            .arg(QString::fromLatin1(head.contentType)));
            return;
        }
        m_seenFile = true;
        m_current = Current::File;
        m_outcome.fileName = QString::fromUtf8(head.fileName);
        if (m_kind == Kind::Import)
            m_xml = std::make_unique<QXmlStreamReader>();
        return;
    }
    reject(400, QStringLiteral("unexpected part \"%1\"").arg(QString::fromUtf8(head.name)));
}

void UploadReceiver::onPartData(const char* data, qsizetype size)
{
    if (hasError())
        return;
    if (m_current == Current::Hash) {
        if (m_hashText.size() + size > kMaxHashPart) {
            reject(400, QStringLiteral("hash_value part too long"));
            return;
        }
        m_hashText.append(data, size);
        return;
    }
    if (m_current != Current::File)
        return;
    m_md5.addData(QByteArrayView(data, size));
    m_outcome.size += size;
    if (m_head.size() < kKeepBytes)
        m_head.append(data, qMin(size, kKeepBytes - m_head.size()));
    m_tail.append(data + qMax<qsizetype>(0, size - kKeepBytes), qMin(size, kKeepBytes));
    if (m_tail.size() > kKeepBytes)
        m_tail.remove(0, m_tail.size() - kKeepBytes);
    if (m_xml && !m_xmlError) {
        m_xml->addData(QByteArray(data, size));
        while (!m_xml->atEnd()) {
            const QXmlStreamReader::TokenType token = m_xml->readNext();
            if (token == QXmlStreamReader::StartElement) {
                if (m_xmlRootClosed)
                    m_xmlError = true; // a second root element
                ++m_xmlDepth;
            } else if (token == QXmlStreamReader::EndElement) {
                if (--m_xmlDepth == 0)
                    m_xmlRootClosed = true;
            }
        }
        if (m_xml->hasError() && m_xml->error() != QXmlStreamReader::PrematureEndOfDocumentError)
            m_xmlError = true;
    }
}

void UploadReceiver::onPartEnd()
{
    m_current = Current::None;
}

UploadReceiver::Outcome UploadReceiver::finish(const MultipartParser& parser)
{
    if (!hasError() && parser.hasFailed())
        reject(400, parser.errorText());
    if (!hasError() && !m_seenHash)
        reject(400, QStringLiteral("no hash_value part"));
    if (!hasError() && !m_seenFile)
        reject(400, QStringLiteral("no %1 part").arg(QLatin1String(fieldName(m_kind))));
    const QByteArray expected = m_hashText.trimmed().toLower();
    m_outcome.md5 = m_md5.result().toHex();
    if (!hasError()) {
        bool hex = expected.size() == 32;
        for (char c : expected)
            hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        if (!hex)
            reject(400, QStringLiteral("hash_value is not an MD5 digest"));
        else if (expected != m_outcome.md5)
            reject(400, QStringLiteral("hash_value does not match the file"));
    }
    m_outcome.imageValid = isImage(m_head, m_tail, m_outcome.size);
    m_outcome.xmlWellFormed = m_xml && !m_xmlError && m_xmlRootClosed;
    return m_outcome;
}
