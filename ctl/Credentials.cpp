#include "Credentials.h"

#include "CtlCommon.h"
#include "Terminal.h"

#include <QFile>
#include <QSet>
#include <QTextStream>

#include <algorithm>

std::optional<Credentials> Credentials::load(const QString& passwordFile, QTextStream& err)
{
    if (!passwordFile.isEmpty()) {
        // "-": standard input, so that no file holds the password at all.
        const bool standardInput = passwordFile == QLatin1String("-");
        QFile file;
        const bool opened = standardInput ? file.open(stdin, QIODevice::ReadOnly)
                                          : (file.setFileName(passwordFile), file.open(QIODevice::ReadOnly));
        // A password file is a few lines; a larger one is no password file.
        const qint64 kMaxBytes = 1024 * 1024;
        const QByteArray text = opened ? file.read(kMaxBytes + 1) : QByteArray();
        if (!opened || text.size() > kMaxBytes) {
            err << "corvanectl: cannot read the password file " << passwordFile << '\n';
            return std::nullopt;
        }
        if (!standardInput && (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
            err << "corvanectl: warning: other users can read the password file " << passwordFile
                << " (chmod 600 makes it yours alone)\n";
        QString problem;
        const std::optional<Credentials> credentials = parse(QString::fromUtf8(text), problem);
        if (!credentials) {
            err << "corvanectl: the password file " << passwordFile << ": " << problem << '\n';
            return std::nullopt;
        }
        if (credentials->isEmpty()) {
            err << "corvanectl: the password file " << passwordFile << " holds no password\n";
            return std::nullopt;
        }
        return credentials;
    }
    if (qEnvironmentVariableIsSet(kEnvironmentVariable)) {
        Credentials credentials;
        credentials.m_default = qEnvironmentVariable(kEnvironmentVariable);
        if (credentials.m_default.isEmpty()) {
            err << "corvanectl: " << kEnvironmentVariable << " is set but empty; no device is tried with it\n";
            return std::nullopt;
        }
        return credentials;
    }
    if (const std::optional<QString> typed = promptPassword(QStringLiteral("Password of the devices: "))) {
        if (typed->isEmpty()) {
            err << "corvanectl: no password was typed\n";
            return std::nullopt;
        }
        Credentials credentials;
        credentials.m_default = *typed;
        return credentials;
    }
    err << "corvanectl: no password: give --password-file, set " << kEnvironmentVariable
        << ", or run on a terminal to be asked\n";
    return std::nullopt;
}

namespace {

// Reads the field at `pos` of a line without its surrounding white space:
// a quoted one, or up to the next white space (`toEnd`: to the end of the
// line). `pos` ends past it and the white space after it. False for a quote
// that is not closed, or text right after a closing quote.
bool readField(const QString& line, qsizetype& pos, bool toEnd, QString& field)
{
    field.clear();
    if (line.at(pos) != QLatin1Char('"')) {
        qsizetype end = pos;
        while (end < line.size() && (toEnd || !line.at(end).isSpace()))
            ++end;
        field = line.mid(pos, end - pos).trimmed();
        pos = end;
    } else {
        qsizetype at = pos + 1;
        for (;; ++at) {
            if (at >= line.size())
                return false;
            const QChar c = line.at(at);
            if (c == QLatin1Char('"'))
                break;
            if (c == QLatin1Char('\\') && at + 1 < line.size()
                && (line.at(at + 1) == QLatin1Char('"') || line.at(at + 1) == QLatin1Char('\\')))
                ++at;
            field += line.at(at);
        }
        pos = at + 1;
        if (pos < line.size() && !line.at(pos).isSpace())
            return false;
    }
    while (pos < line.size() && line.at(pos).isSpace())
        ++pos;
    return true;
}

} // namespace

std::optional<Credentials> Credentials::parse(const QString& text, QString& problem)
{
    Credentials credentials;
    const QStringList lines = text.split(QLatin1Char('\n'));
    int passwordLines = 0;
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QString line = lines.at(number - 1).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        ++passwordLines;
        qsizetype pos = 0;
        QString first;
        QString password;
        bool read = readField(line, pos, false, first);
        const bool alone = pos >= line.size();
        // Two words, neither quoted, the first no address: a host name and
        // its password, or a password with a space.
        const bool eitherWay = read && !alone && line.at(0) != QLatin1Char('"') && line.at(pos) != QLatin1Char('"')
                               && first != QLatin1String("*") && !Ctl::isAddress(first);
        if (read && !alone)
            read = readField(line, pos, true, password) && pos >= line.size();
        if (!read) {
            problem = QStringLiteral("line %1: a quote is not closed, or text follows it").arg(number);
            return std::nullopt;
        }
        if (alone)
            password = first;
        if (password.isEmpty()) {
            problem = QStringLiteral("line %1: an empty password").arg(number);
            return std::nullopt;
        }
        if (alone || first == QLatin1String("*")) {
            credentials.m_default = password;
        } else {
            credentials.m_byId.insert(first.toLower(), password);
            credentials.m_ids.append(first);
        }
        credentials.m_onlyLine = eitherWay ? line : QString();
    }
    if (passwordLines != 1)
        credentials.m_onlyLine.clear();
    return credentials;
}

void Credentials::settle(const QStringList& found, QTextStream& err)
{
    QSet<QString> names;
    for (const QString& name : found)
        names.insert(name.toLower());
    if (!m_onlyLine.isEmpty() && !names.contains(m_ids.first().toLower())) {
        m_byId.clear();
        m_ids.clear();
        m_default = m_onlyLine;
        err << "corvanectl: the password file's one line starts with no device found, so the whole line is the "
               "password of every device (quote it, or begin it with '* ', to say so)\n";
    }
    m_onlyLine.clear();
    QStringList unknown;
    for (const QString& id : std::as_const(m_ids)) {
        if (!names.contains(id.toLower()))
            unknown << QLatin1Char('"') + Ctl::printable(id) + QLatin1Char('"');
    }
    if (unknown.isEmpty())
        return;
    constexpr int kShown = 10;
    err << "corvanectl: warning: the password file names " << unknown.size() << (unknown.size() == 1 ? " id" : " ids")
        << " no device found answers to: " << unknown.mid(0, kShown).join(QStringLiteral(", "));
    if (unknown.size() > kShown)
        err << " and " << unknown.size() - kShown << " more";
    err << '\n';
}

QString Credentials::passwordFor(const QStringList& identities) const
{
    for (const QString& id : identities) {
        const auto found = m_byId.constFind(id.toLower());
        if (found != m_byId.cend())
            return *found;
    }
    return m_default;
}

bool Credentials::hasOwnPassword(const QStringList& identities) const
{
    return std::any_of(identities.cbegin(), identities.cend(),
                       [this](const QString& id) { return m_byId.contains(id.toLower()); });
}
