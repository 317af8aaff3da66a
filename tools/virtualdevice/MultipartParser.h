#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// An incremental parser for multipart bodies: part heads are collected
// (bounded), part contents are handed on as they arrive. Only the last few
// bytes that might start a delimiter are held back, so a part of any size
// passes through in constant memory.
class MultipartParser
{
public:
    struct PartHead
    {
        QList<QPair<QByteArray, QByteArray>> headers; // lower-case names
        QByteArray disposition; // "form-data", ...
        QByteArray name; // the disposition's name parameter
        QByteArray fileName; // its filename parameter
        bool hasFileName = false;
        QByteArray contentType; // media type in lower case, without parameters
    };

    class Handler
    {
    public:
        virtual ~Handler() = default;
        virtual void onPartBegin(const PartHead& head) = 0;
        virtual void onPartData(const char* data, qsizetype size) = 0;
        virtual void onPartEnd() = 0;
    };

    static constexpr qsizetype kMaxPartHead = 16 * 1024;

    // Reads the media type and boundary of a Content-Type header value such as
    // multipart/mixed; boundary="abc". False with a message when it is not a
    // multipart type or has no usable boundary.
    static bool parseContentType(const QByteArray& value, QByteArray& mediaType, QByteArray& boundary, QString& error);

    // Splits "form-data; name=\"x\"; filename=\"y\"" into its value and parameters.
    static bool parseDisposition(const QByteArray& value, PartHead& head);

    MultipartParser(const QByteArray& boundary, Handler& handler);

    void feed(const char* data, qsizetype size);
    // The body has ended; a body without its closing delimiter is an error.
    void finish();

    bool hasFailed() const { return !m_error.isEmpty(); }
    QString errorText() const { return m_error; }
    bool isComplete() const { return m_state == State::Epilogue; }
    int partCount() const { return m_parts; }

private:
    enum class State { Preamble, AfterDelimiter, PartHead, PartBody, Epilogue };

    void process();
    void fail(const QString& error);

    Handler& m_handler;
    QByteArray m_delimiter; // CRLF "--" boundary
    QByteArray m_buffer;
    State m_state = State::Preamble;
    int m_parts = 0;
    QString m_error;
};
