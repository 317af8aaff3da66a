#pragma once

#include "MultipartParser.h"

#include <QCryptographicHash>
#include <QXmlStreamReader>

#include <memory>

// Receives one file upload as it streams in: checks that the multipart body
// holds exactly the digest part and the file part that the endpoint expects,
// digests the file on the fly and judges the file for the device (image
// format, configuration well-formedness) without keeping it.
class UploadReceiver : public MultipartParser::Handler
{
public:
    enum class Kind { Firmware, Import, StandbyImage };

    struct Outcome
    {
        int status = 200; // HTTP status to answer
        QString error; // why the body was refused
        QString fileName;
        qint64 size = 0;
        QByteArray md5; // hexadecimal digest of the received file
        bool imageValid = false; // StandbyImage: a JPEG or PNG image
        bool xmlWellFormed = false; // Import: one well-formed XML document
    };

    static const char* fieldName(Kind kind);
    static bool contentTypeFits(Kind kind, const QByteArray& contentType);

    explicit UploadReceiver(Kind kind);

    // Raises an error before any part arrives (outer content type, etc.).
    void reject(int status, const QString& error);
    bool hasError() const { return !m_outcome.error.isEmpty(); }

    // Judges the whole body once the multipart parser has finished.
    Outcome finish(const MultipartParser& parser);

    void onPartBegin(const MultipartParser::PartHead& head) override;
    void onPartData(const char* data, qsizetype size) override;
    void onPartEnd() override;

private:
    enum class Current { None, Hash, File, Ignored };

    Kind m_kind;
    Current m_current = Current::None;
    bool m_seenHash = false;
    bool m_seenFile = false;
    QByteArray m_hashText;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    QByteArray m_head; // first bytes of the file
    QByteArray m_tail; // last bytes of the file
    std::unique_ptr<QXmlStreamReader> m_xml;
    int m_xmlDepth = 0;
    bool m_xmlRootClosed = false;
    bool m_xmlError = false;
    Outcome m_outcome;
};
