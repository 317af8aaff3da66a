#include "Logger.h"

#include "StrUtils.h"
#include "ThreadId.h"

#include <QDebug>
#include <QTime>

namespace {

void emitLine(const QString& text)
{
    // Named explicitly: release builds leave the context's category empty.
    QMessageLogger(nullptr, 0, nullptr, "default").debug().noquote() << text;
}

// The last component of a path; a bare name is taken whole and an empty path
// gives an empty field.
std::string lastPathComponent(const char* file)
{
    if (file == nullptr)
        return {};
    const std::vector<std::string> pieces = StrUtils::splitStr(file, '/');
    return pieces.empty() ? std::string() : pieces.back();
}

} // namespace

void Logger::writeLog(const char* log)
{
    emitLine(log != nullptr ? QString::fromUtf8(log) : QString());
}

void Logger::writeLog(const std::string& log)
{
    emitLine(QString::fromUtf8(log.data(), static_cast<qsizetype>(log.size())));
}

void Logger::writeLog(const QString& log)
{
    emitLine(log);
}

std::string Logger::formatLine(const std::string& time, const char* file, const char* func, int line,
                               unsigned long long threadId, const char* log)
{
    std::string out;
    out.reserve(128);
    out += '[';
    out += time;
    out += "] File:";
    out += lastPathComponent(file);
    out += ", Func:";
    if (func == nullptr)
        return out;
    out += func;
    out += "(), Line:";
    out += std::to_string(line);
    out += ", tid:";
    out += std::to_string(threadId);
    out += ", Log:";
    if (log != nullptr)
        out += log;
    return out;
}

void Logger::writeLog(const char* file, const char* func, int line, const char* log)
{
    const std::string time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toStdString();
    writeLog(formatLine(time, file, func, line, currentOsThreadId(), log));
}

void Logger::writeLog(const char* file, const char* func, int line, const std::string& log)
{
    writeLog(file, func, line, log.c_str());
}

void Logger::writeLog(const char* file, const char* func, int line, const QString& log)
{
    writeLog(file, func, line, log.toUtf8().constData());
}
