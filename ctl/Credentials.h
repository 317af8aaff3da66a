#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

// The devices' passwords for one run, from the first of: a password file,
// the environment variable CORVANE_PASSWORD, a prompt on the terminal. Never
// taken from the command line (it would show in the process list), never
// written anywhere. An empty password is refused wherever it comes from.
//
// A password file holds one password for all devices (a line of its own, or
// "* <password>"), or "<ID> <password>" lines, ID a MAC address, an IP
// address or a host name, with the line for all as the default. Empty lines
// and lines starting with '#' are skipped; a password runs to the end of its
// line. An ID or a password may be quoted ("Meeting Room 2", "#secret",
// " spaced "), with \" and \\ inside the quotes for a quote and a backslash:
// so a one-line password with a space, or one that starts with '#' or '"',
// is written quoted.
//
// A line names a device by its first field when that is a MAC or IPv4
// address, or quoted. A line that starts with another word and goes on names
// the device of that host name (any letter case), except when it is the
// file's only line and no device found has that host name: then the whole
// line is the password for all devices, as a one-line password with a space
// reads when written unquoted (the module and the examples quote it). IDs
// that name no device found are said on standard error before any device is
// tried, so that a line read otherwise than meant is seen.
class Credentials
{
public:
    static constexpr const char* kEnvironmentVariable = "CORVANE_PASSWORD";

    // nullopt with the reason on `err` (a file that cannot be read, holds a
    // line it cannot read or no password; an empty password; no file, no
    // variable and no terminal). A file that other users can read is warned
    // of on `err`.
    static std::optional<Credentials> load(const QString& passwordFile, QTextStream& err);
    // Parses a password file's text: nullopt with the first problem (and its
    // line number) on `problem`.
    static std::optional<Credentials> parse(const QString& text, QString& problem);

    // The password for the device known by these identities (any order, any
    // letter case), else the default; empty when there is none.
    QString passwordFor(const QStringList& identities) const;
    // Whether one of these identities has a password of its own (else the
    // default, shared by the devices without one, is theirs).
    bool hasOwnPassword(const QStringList& identities) const;
    bool isEmpty() const { return m_default.isEmpty() && m_byId.isEmpty(); }
    // Once the devices were found (`found`: every name of each), before any
    // is tried: settles the only line as above, and says on `err` the IDs
    // that name none of them (never a password).
    void settle(const QStringList& found, QTextStream& err);

private:
    QString m_default;
    QHash<QString, QString> m_byId; // by lower-case ID
    QStringList m_ids; // as written, in the file's order
    // The only line, when it starts with a word that is no address: the
    // password for all unless a device found has that host name.
    QString m_onlyLine;
};
