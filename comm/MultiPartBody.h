#pragma once

#include "ResultCode.h"
#include "StreamedBody.h"

#include <QFile>
#include <QHttpMultiPart>
#include <QHttpPart>
#include <QMap>
#include <QString>

#include <cstdint>
#include <memory>

// The two-part body of a file upload to a device: the MD5 digest of the file
// under "hash_value", then the file itself under the field name and with the
// content type that the file's extension selects. The file is streamed from
// disk while the body is sent; the body owns the open file and the multipart
// and must outlive the upload that sends it. Used on one thread (the one that
// sends the upload); not copyable.
class MultiPartBody
{
public:
    enum class FileType { Bundle = 1, Xml = 2, Jpeg = 3, Png = 4 };

    // The file's digest could not be computed (missing or unreadable file).
    static constexpr int32_t kHashFailed = ResultCode::failure(ResultCode::Facility::MultiPartBody, 0x0002);
    // The extension is not one of the table's, the file cannot be opened, or
    // its name cannot be quoted (see canQuoteFileName).
    static constexpr int32_t kUnsupportedFile = ResultCode::failure(ResultCode::Facility::MultiPartBody, 0x0003);

    // Whether the name can travel inside the quoted filename of the part's
    // header: no double quote or backslash (they would end or escape the
    // value) and no control character (a line break would end the header).
    static bool canQuoteFileName(const QString& fileName);

    explicit MultiPartBody(const QString& filePath);
    ~MultiPartBody();
    MultiPartBody(const MultiPartBody&) = delete;
    MultiPartBody& operator=(const MultiPartBody&) = delete;

    // Builds the multipart: 0, or the failure code of the part that failed
    // (nothing is built then). Building again replaces the earlier body, so it
    // must not run while an upload of this body is under way.
    int32_t generate();
    // The same with the file's raw MD5 digest computed beforehand (e.g. off
    // the user-interface thread, or kept from an earlier upload of the same
    // unchanged file); kHashFailed for an empty digest.
    int32_t generate(const QByteArray& md5Digest);
    // The digest part: kHashFailed when the file cannot be digested.
    int32_t generateHashPart(QHttpPart& part);
    // The file part, with the file opened as its body device: kUnsupportedFile
    // for an extension outside the table, a file that cannot be opened or a
    // name that cannot be quoted.
    int32_t generateDataPart(QHttpPart& part);

    // "" for a value outside the table.
    QString getDataContentTypeFromFileType(FileType type) const;
    // form-data; name="<field>"; filename="<fileName>"  ("" for a value outside the table)
    QString getDataContentDispositionFromFile(FileType type, const QString& fileName) const;

    // The built multipart, null until generate() succeeded; owned by the body.
    QHttpMultiPart* multiPart() const { return m_multiPart.get(); }
    // The same bytes as the multipart, on a file opened for it alone: null
    // until generate() succeeded, and after it was taken (once per build).
    std::unique_ptr<StreamedBody> takeStreamedBody() { return std::move(m_streamed); }
    QString filePath() const { return m_filePath; }

private:
    static int32_t hashPart(const QByteArray& md5Digest, QHttpPart& part);

    QMap<QString, FileType> m_extensions;
    QString m_filePath;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<QHttpMultiPart> m_multiPart;
    QByteArray m_dataPartHeader; // the file part's header fields, as sent
    std::unique_ptr<StreamedBody> m_streamed;

    std::unique_ptr<StreamedBody> streamedBody(const QByteArray& md5Digest) const;
};
