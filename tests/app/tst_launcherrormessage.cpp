#include "LaunchErrorMessage.h"
#include "MessageCapture.h"

#include <QGuiApplication>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <memory>

// Runs on the offscreen platform, where no operator can see or answer a window.
class TestLaunchErrorMessage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_capture = std::make_unique<MessageCapture>(); }
    void cleanup() { m_capture.reset(); }

    void withoutAScreenTheMessageIsLoggedAndNobodyWaits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("caption");
        QTest::newRow("already running") << QStringLiteral("Corvane is already running.")
                                         << QStringLiteral("Launch error");
        QTest::newRow("other text") << QStringLiteral("Gr\u00f6\u00dfe 100%") << QStringLiteral("Caption");
    }

    void withoutAScreenTheMessageIsLoggedAndNobodyWaits()
    {
        QFETCH(QString, text);
        QFETCH(QString, caption);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));

        // A message that waits for an answer would wait for good here; the
        // watchdog answers in the operator's place so that the failure shows.
        bool hadToAnswer = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, this, [&hadToAnswer] {
            hadToAnswer = true;
            for (QWindow* window : QGuiApplication::topLevelWindows())
                window->close();
        });
        watchdog.start(10000);
        showLaunchErrorMessage(text, caption);
        watchdog.stop();
        QVERIFY2(!hadToAnswer, "the message waited for an operator who cannot see it");

        const QStringList lines = m_capture->takeTexts();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().endsWith(QStringLiteral(", Log:") + caption + QStringLiteral(": ") + text),
                 qPrintable(lines.first()));
        QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
    }

private:
    std::unique_ptr<MessageCapture> m_capture;
};

QTEST_MAIN(TestLaunchErrorMessage)
#include "tst_launcherrormessage.moc"
