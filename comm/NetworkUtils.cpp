#include "NetworkUtils.h"

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

namespace NetworkUtils {

QNetworkRequest createNetworkRequest(const char* scheme, const char* host, const char* path, const char* query,
                                     int port, const char* authCode)
{
    QNetworkRequest request;

    // Devices use self-signed certificates; verification stays at its default
    // and the access manager ignores the errors per reply.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    request.setSslConfiguration(tls);

    QUrl url;
    url.setScheme(QString::fromUtf8(scheme ? scheme : ""));
    url.setHost(QString::fromUtf8(host ? host : ""), QUrl::DecodedMode);
    url.setPath(QString::fromUtf8(path ? path : ""), QUrl::DecodedMode);
    if (query && *query)
        url.setQuery(QString::fromUtf8(query), QUrl::TolerantMode);
    url.setPort(port);
    request.setUrl(url);
    // A 3xx is the device's answer: following it would send the
    // "Authorization" header to whatever host it names and read that host's
    // status as the device's.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    if (authCode) {
        const QString credentials = QStringLiteral("admin:") + QString::fromUtf8(authCode);
        request.setRawHeader("Authorization", "Basic " + credentials.toLocal8Bit().toBase64());
    }
    return request;
}

} // namespace NetworkUtils
