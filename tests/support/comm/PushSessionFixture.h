#pragma once

#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "HttpAccessManager.h"
#include "LoginController.h"

#include <QString>

#include <cstdint>

// A device facade of the test's own with the push session service wired to it
// as the program wires them: what the observer receives from a device goes to
// a subscriber that writes it into the facade's records. For tests that log in
// to a virtual device and keep its push channel open. Header-only
// (corvane_testsupport_comm, which links the comm library).
// Destroyed subscriber first, facade last. User-interface thread only.
class PushSessionFixture
{
public:
    // `http` must outlive the fixture.
    explicit PushSessionFixture(HttpAccessManager& http = HttpAccessManager::getInstance())
        : m_http(http)
        , m_observer(m_facade, http)
        , m_subscriber(m_facade)
    {
        m_wired = m_subscriber.initialize(&m_observer) == 0;
    }

    PushSessionFixture(const PushSessionFixture&) = delete;
    PushSessionFixture& operator=(const PushSessionFixture&) = delete;

    // Whether the subscriber took the observer's messages on.
    bool isWired() const { return m_wired; }

    DeviceFacade& facade() { return m_facade; }
    DeviceNotificationObserver& observer() { return m_observer; }
    DeviceNotificationSubscriber& subscriber() { return m_subscriber; }

    // The operator's login to `deviceId` (a record the facade has): the
    // controller's result, 0 when logged in.
    int32_t logIn(const QString& deviceId, const QString& authCode)
    {
        LoginController login(m_facade, m_http);
        return login.requestLogin(deviceId, authCode);
    }

    // Opens the push channel of the device `deviceId`: the observer's result.
    int32_t openSession(const QString& deviceId, int port) { return m_observer.createSession(deviceId, port); }

private:
    HttpAccessManager& m_http;
    DeviceFacade m_facade;
    DeviceNotificationObserver m_observer;
    DeviceNotificationSubscriber m_subscriber;
    bool m_wired = false;
};
