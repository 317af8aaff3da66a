#include "MultiPartBody.h"

#include "HashGenerator.h"
#include "Logger.h"

#include <QFileInfo>
#include <QNetworkRequest>

#include <algorithm>

namespace {

struct FileTypeRow
{
    MultiPartBody::FileType type;
    const char* fieldName;
    const char* contentType;
};

// What the device expects for each kind of file it takes.
constexpr FileTypeRow kFileTypes[] = {
    {MultiPartBody::FileType::Bundle, "firmware_file", "application/octet-stream"},
    {MultiPartBody::FileType::Xml, "configuration_file", "text/xml"},
    {MultiPartBody::FileType::Jpeg, "standby_screen_image_file", "image/jpeg"},
    {MultiPartBody::FileType::Png, "standby_screen_image_file", "image/png"},
};

const FileTypeRow* rowOf(MultiPartBody::FileType type)
{
    for (const FileTypeRow& row : kFileTypes) {
        if (row.type == type)
            return &row;
    }
    return nullptr;
}

QByteArray digestOf(const QString& path)
{
    const QByteArray digest = HashGenerator::generate(path, QCryptographicHash::Md5);
    if (digest.isEmpty())
        CORVANE_LOG(QStringLiteral("no digest of the file to upload: %1").arg(path));
    return digest;
}

} // namespace

MultiPartBody::MultiPartBody(const QString &filePath)
    : m_extensions{
          {QStringLiteral("bundle"), FileType::Bundle},
          {QStringLiteral("xml"), FileType::Xml},
          {QStringLiteral("jpg"), FileType::Jpeg},
          {QStringLiteral("jpeg"), FileType::Jpeg},
          {QStringLiteral("png"), FileType::Png},
      }
    , m_filePath(filePath)
{
}

MultiPartBody::~MultiPartBody()
{
    // The multipart reads from the file: it goes first.
    m_streamed.reset();
    m_multiPart.reset();
    m_file.reset();
}

int32_t MultiPartBody::generate()
{
    return generate(digestOf(m_filePath));
}

int32_t MultiPartBody::generate(const QByteArray& md5Digest)
{
    m_multiPart.reset();
    m_streamed.reset();
    QHttpPart digestPart;
    int32_t result = hashPart(md5Digest, digestPart);
    if (ResultCode::isFailure(result))
        return result;
    QHttpPart dataPart;
    result = generateDataPart(dataPart);
    if (ResultCode::isFailure(result))
        return result;
    m_multiPart = std::make_unique<QHttpMultiPart>();
    m_multiPart->append(digestPart);
    m_multiPart->append(dataPart);
    m_streamed = streamedBody(md5Digest);
    return ResultCode::kSuccess;
}

// Byte for byte what Qt writes for the multipart: each part after its
// boundary line, its header fields and an empty line; the closing boundary
// last. The file is opened anew, so that the stream reads it from the start
// and from any thread, and a file removed after the build still goes out.
std::unique_ptr<StreamedBody> MultiPartBody::streamedBody(const QByteArray& md5Digest) const
{
    auto streamed = std::make_unique<StreamedBody>();
    streamed->file = std::make_unique<QFile>(m_filePath);
    if (!streamed->file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        CORVANE_LOG(QStringLiteral("cannot open the file to upload a second time: %1").arg(m_filePath));
        return nullptr;
    }
    streamed->fileSize = streamed->file->size();
    const QByteArray boundary = m_multiPart->boundary();
    const QByteArray line = "--" + boundary + "\r\n";
    streamed->head = line + "Content-Disposition: form-data; name=\"hash_value\"\r\n\r\n" + md5Digest.toHex() + "\r\n"
                     + line + m_dataPartHeader + "\r\n";
    streamed->tail = "\r\n--" + boundary + "--\r\n";
    // Qt's default kind of multipart, and the fields it adds for one.
    streamed->headers = {{"Content-Type", "multipart/mixed; boundary=\"" + boundary + '"'}, {"MIME-Version", "1.0"}};
    return streamed;
}

int32_t MultiPartBody::generateHashPart(QHttpPart& part)
{
    return hashPart(digestOf(m_filePath), part);
}

int32_t MultiPartBody::hashPart(const QByteArray& md5Digest, QHttpPart& part)
{
    if (md5Digest.isEmpty())
        return kHashFailed;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"hash_value\""));
    part.setBody(md5Digest.toHex());
    return ResultCode::kSuccess;
}

bool MultiPartBody::canQuoteFileName(const QString& fileName)
{
    return std::none_of(fileName.cbegin(), fileName.cend(), [](QChar c) {
        return c == QLatin1Char('"') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7F;
    });
}

int32_t MultiPartBody::generateDataPart(QHttpPart& part)
{
    // A multipart built earlier streams from the file that is replaced here.
    m_multiPart.reset();
    m_file = std::make_unique<QFile>(m_filePath);
    const QFileInfo info(m_filePath);
    const auto found = m_extensions.constFind(info.suffix().toLower());
    if (found == m_extensions.constEnd()) {
        CORVANE_LOG(QStringLiteral("no upload for files of this kind: %1").arg(m_filePath));
        return kUnsupportedFile;
    }
    const QString fileName = info.fileName();
    if (!canQuoteFileName(fileName)) {
        CORVANE_LOG(QStringLiteral("file name cannot go into the upload's header: %1").arg(m_filePath));
        return kUnsupportedFile;
    }
    if (!m_file->open(QIODevice::ReadOnly)) {
        CORVANE_LOG(QStringLiteral("cannot open the file to upload: %1: %2").arg(m_filePath, m_file->errorString()));
        return kUnsupportedFile;
    }
    const QString disposition = getDataContentDispositionFromFile(found.value(), fileName);
    const QString contentType = getDataContentTypeFromFileType(found.value());
    part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
    part.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    m_dataPartHeader
        = "Content-Disposition: " + disposition.toUtf8() + "\r\nContent-Type: " + contentType.toUtf8() + "\r\n";
    part.setBodyDevice(m_file.get());
    return ResultCode::kSuccess;
}

QString MultiPartBody::getDataContentTypeFromFileType(FileType type) const
{
    const FileTypeRow* row = rowOf(type);
    return row ? QString::fromLatin1(row->contentType) : QString();
}

QString MultiPartBody::getDataContentDispositionFromFile(FileType type, const QString& fileName) const
{
    const FileTypeRow* row = rowOf(type);
    if (!row)
        return QString();
    return QStringLiteral("form-data; name=\"%1\"; filename=\"%2\"").arg(QLatin1String(row->fieldName), fileName);
}
