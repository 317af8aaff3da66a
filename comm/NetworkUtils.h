#pragma once

#include <QNetworkRequest>

// Builds the requests that go to a device's REST interface and push channel.
namespace NetworkUtils {

// A request for scheme://host:port/path[?query] with TLS 1.2 or later
// (certificate errors are the sender's business) and, when `authCode` is not
// null, the raw header "Authorization: Basic base64(admin:<authCode>)"; an
// empty code still sends "admin:". Text arguments are UTF-8; `query` and
// `authCode` may be null, null scheme, host or path count as empty (the
// request then fails when sent, it never crashes). No other header is set.
// Any thread; no shared state.
QNetworkRequest createNetworkRequest(const char* scheme, const char* host, const char* path, const char* query,
                                     int port, const char* authCode);

} // namespace NetworkUtils
