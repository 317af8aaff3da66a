#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

// The devices' passwords for one run, from the first of: a password file,
// the environment variable CORVANE_PASSWORD, a prompt on the terminal. Never
// taken from the command line (it would show in the process list), never
// written anywhere.
//
// A password file holds one password for all devices (a line of its own, or
// "* <password>"), or "<ID> <password>" lines, ID a MAC address, an IP
// address or a host name, with the line for all as the default. Empty lines
// and lines starting with '#' are skipped; a password runs to the end of its
// line.
class Credentials
{
public:
    static constexpr const char* kEnvironmentVariable = "CORVANE_PASSWORD";

    // nullopt with the reason on `err` (a file that cannot be read or holds
    // no password; no file, no variable and no terminal).
    static std::optional<Credentials> load(const QString& passwordFile, QTextStream& err);
    // Parses a password file's text.
    static Credentials parse(const QString& text);

    // The password for the device known by these identities (any order, any
    // letter case), else the default; empty when there is none.
    QString passwordFor(const QStringList& identities) const;
    bool isEmpty() const { return m_default.isEmpty() && m_byId.isEmpty(); }

private:
    QString m_default;
    QHash<QString, QString> m_byId; // by lower-case ID
};
