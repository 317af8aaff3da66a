#include "Credentials.h"

#include "Terminal.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

std::optional<Credentials> Credentials::load(const QString& passwordFile, QTextStream& err)
{
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        // A password file is a few lines; a larger one is no password file.
        if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024) {
            err << "corvanectl: cannot read the password file " << passwordFile << '\n';
            return std::nullopt;
        }
        Credentials credentials = parse(QString::fromUtf8(file.readAll()));
        if (credentials.isEmpty()) {
            err << "corvanectl: the password file " << passwordFile << " holds no password\n";
            return std::nullopt;
        }
        return credentials;
    }
    if (qEnvironmentVariableIsSet(kEnvironmentVariable)) {
        Credentials credentials;
        credentials.m_default = qEnvironmentVariable(kEnvironmentVariable);
        return credentials;
    }
    if (const std::optional<QString> typed = promptPassword(QStringLiteral("Password of the devices: "))) {
        Credentials credentials;
        credentials.m_default = *typed;
        return credentials;
    }
    err << "corvanectl: no password: give --password-file, set " << kEnvironmentVariable
        << ", or run on a terminal to be asked\n";
    return std::nullopt;
}

Credentials Credentials::parse(const QString& text)
{
    Credentials credentials;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        const QString trimmed = line.trimmed();
        const qsizetype space = trimmed.indexOf(QRegularExpression(QStringLiteral("\\s")));
        if (space < 0) {
            credentials.m_default = trimmed;
            continue;
        }
        const QString id = trimmed.left(space);
        const QString password = trimmed.mid(space + 1).trimmed();
        if (id == QLatin1String("*"))
            credentials.m_default = password;
        else
            credentials.m_byId.insert(id.toLower(), password);
    }
    return credentials;
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
