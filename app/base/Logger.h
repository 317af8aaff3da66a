#pragma once

#include <QString>
#include <string>

// Formats diagnostic lines and hands them to Qt's message logger (debug level,
// default category). Where the lines end up is the message handler's business.
// Safe to call from any thread; every call emits exactly one message.
class Logger
{
public:
    Logger() = delete;

    static void writeLog(const char* log);
    static void writeLog(const std::string& log);
    static void writeLog(const QString& log);

    // "[hh:mm:ss.zzz] File:<name>, Func:<func>(), Line:<n>, tid:<id>, Log:<log>"
    static void writeLog(const char* file, const char* func, int line, const char* log);
    static void writeLog(const char* file, const char* func, int line, const std::string& log);
    static void writeLog(const char* file, const char* func, int line, const QString& log);

    // Builds the line that the four-argument writeLog emits, with the given
    // time text and thread id; exposed so that its format can be checked.
    static std::string formatLine(const std::string& time, const char* file, const char* func, int line,
                                  unsigned long long threadId, const char* log);
};

// Logs with the caller's file, function and line filled in.
#define CORVANE_LOG(text) ::Logger::writeLog(__FILE__, __func__, __LINE__, (text))
