// The rules by which the window and the command line judge a device in a
// batch, for the three operations: before the upload (file, login,
// connection, running status), the upload's HTTP answer, and the result the
// device pushes afterwards.

#include "BatchOperation.h"
#include "BatchRules.h"
#include "DeviceParameter.h"

#include <QTest>

namespace {

const BatchOperation* const kOperations[] = {&BatchOperations::kFirmwareUpdate, &BatchOperations::kConfigurationImport,
                                             &BatchOperations::kStandbyScreenImageChange};
const char* const kNames[] = {"firmware", "import", "image"};
const char* const kFiles[] = {"/tmp/tq-1.2.3.BUNDLE", "/tmp/settings.Xml", "/tmp/screen.JPEG"};

// Which of the operation's codes a case ends with.
enum Expect { Ready, WrongSuffix, NotReady, Disconnected, Busy, Forbidden, Refused };

int32_t expected(const BatchOperation& op, Expect expect, int status)
{
    switch (expect) {
    case Ready:
        return ResultCode::kSuccess;
    case WrongSuffix:
        return op.wrongSuffix;
    case NotReady:
        return op.notReady;
    case Disconnected:
        return op.disconnected;
    case Busy:
        return op.busy;
    case Forbidden:
        return op.forbidden;
    case Refused:
        return op.refusedWith(status);
    }
    return ResultCode::kFailure;
}

const QVariant kConnected = toInt(ConnectionStatus::Connected);

} // namespace

class TestBatchRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Row per operation: the file, the record's state, and the expected code
    // for each operation (the busy rules differ: an image may go to a device
    // in a call, running status 2).
    void beforeUpload_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QVariant>("loggedIn");
        QTest::addColumn<QVariant>("connection");
        QTest::addColumn<QVariant>("running");
        QTest::addColumn<int>("expect");
        const QVariant none;
        struct Case
        {
            const char* name;
            const char* file; // null: the operation's own file
            QVariant loggedIn, connection, running;
            Expect expect[3];
        };
        const Case cases[] = {
            {"idle", nullptr, true, kConnected, 0, {Ready, Ready, Ready}},
            {"wrong suffix", "/tmp/file.txt", true, kConnected, 0, {WrongSuffix, WrongSuffix, WrongSuffix}},
            {"no suffix", "/tmp/bundle", true, kConnected, 0, {WrongSuffix, WrongSuffix, WrongSuffix}},
            {"suffix only in a folder",
             "/tmp/x.bundle/f",
             true,
             kConnected,
             0,
             {WrongSuffix, WrongSuffix, WrongSuffix}},
            {"logged out", nullptr, false, kConnected, 0, {NotReady, NotReady, NotReady}},
            {"login unknown", nullptr, none, kConnected, 0, {NotReady, NotReady, NotReady}},
            {"connection unknown", nullptr, true, none, 0, {NotReady, NotReady, NotReady}},
            {"channel closed",
             nullptr,
             true,
             toInt(ConnectionStatus::Inactive),
             0,
             {Disconnected, Disconnected, Disconnected}},
            {"seen, channel not open",
             nullptr,
             true,
             toInt(ConnectionStatus::Active),
             0,
             {Disconnected, Disconnected, Disconnected}},
            {"busy", nullptr, true, kConnected, 1, {Busy, Busy, Busy}},
            {"in a call", nullptr, true, kConnected, 2, {Busy, Busy, Ready}},
            {"running status unknown", nullptr, true, kConnected, none, {NotReady, NotReady, NotReady}},
        };
        for (const Case& c : cases) {
            for (int op = 0; op < 3; ++op) {
                QTest::addRow("%s: %s", kNames[op], c.name)
                    << op << QString::fromLatin1(c.file ? c.file : kFiles[op]) << c.loggedIn << c.connection
                    << c.running << int(c.expect[op]);
            }
        }
    }

    void beforeUpload()
    {
        QFETCH(int, operation);
        QFETCH(QString, file);
        QFETCH(QVariant, loggedIn);
        QFETCH(QVariant, connection);
        QFETCH(QVariant, running);
        QFETCH(int, expect);
        const BatchOperation& op = *kOperations[operation];
        std::optional<int32_t> refused;
        if (!BatchRules::suffixAccepted(op, file))
            refused = op.wrongSuffix;
        else
            refused = BatchRules::refusal(op, {loggedIn, connection, running});
        // A refusal may carry code 0 (a failure without an alert): it is
        // still a refusal.
        QCOMPARE(refused.has_value(), expect != Ready);
        if (refused)
            QCOMPARE(ResultCode::toHex(*refused), ResultCode::toHex(expected(op, Expect(expect), 0)));
    }

    // Only a refused login ends the login and raises the window's alert;
    // every other failure keeps its status in its code.
    void answer_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("expect");
        const std::pair<int, Expect> cases[]
            = {{200, Ready},   {202, Ready},   {204, Ready},   {201, Refused}, {403, Forbidden},
               {401, Refused}, {409, Refused}, {500, Refused}, {0, Refused}};
        for (int op = 0; op < 3; ++op) {
            for (const auto& [status, expect] : cases)
                QTest::addRow("%s: %d", kNames[op], status) << op << status << int(expect);
        }
    }

    void answer()
    {
        QFETCH(int, operation);
        QFETCH(int, status);
        QFETCH(int, expect);
        const BatchOperation& op = *kOperations[operation];
        const BatchRules::Answer answer = BatchRules::answer(op, status);
        QCOMPARE(answer.accepted, expect == Ready);
        QCOMPARE(ResultCode::toHex(answer.code), ResultCode::toHex(expected(op, Expect(expect), status)));
        QVERIFY(answer.accepted || ResultCode::isFailure(answer.code));
        QCOMPARE(answer.loginOver, status == 403);
    }

    // What the values each operation's device pushes mean.
    void pushed_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("verdict"); // 1 took it, 0 refused it, -1 no result yet
        QTest::addColumn<QString>("text");
        const QVariant none;
        QTest::newRow("firmware: installed") << 0 << QVariant(0) << 1 << "Update successful";
        QTest::newRow("firmware: failed") << 0 << QVariant(1) << 0 << "Update failed";
        QTest::newRow("firmware: skipped") << 0 << QVariant(2) << 0 << "Update skipped";
        QTest::newRow("firmware: unknown value") << 0 << QVariant(7) << -1 << "";
        QTest::newRow("firmware: none") << 0 << none << -1 << "";
        QTest::newRow("firmware: text") << 0 << QVariant(QStringLiteral("x")) << -1 << "";
        QTest::newRow("import: 4 is a success") << 1 << QVariant(4) << 1 << "Import successful";
        QTest::newRow("import: 5 failed") << 1 << QVariant(5) << 0 << "Import failed";
        QTest::newRow("import: 8 unknown") << 1 << QVariant(8) << -1 << "";
        QTest::newRow("image: uploaded") << 2 << QVariant(0) << 1 << "Stand-by screen image successfully uploaded";
        QTest::newRow("image: invalid") << 2 << QVariant(1) << 0 << "Uploaded Stand-by screen image is invalid";
        QTest::newRow("image: none") << 2 << none << -1 << "";
    }

    void pushed()
    {
        QFETCH(int, operation);
        QFETCH(QVariant, value);
        QFETCH(int, verdict);
        QFETCH(QString, text);
        const BatchRules::PushedResult result = BatchRules::pushedResult(*kOperations[operation], value);
        QCOMPARE(result.known, verdict >= 0);
        QCOMPARE(result.succeeded, verdict == 1);
        QCOMPARE(result.text, text);
    }

    void versionInName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::newRow("plain") << "tq-2.4.1.bundle"
                               << "2.4.1";
        QTest::newRow("two parts") << "TQ_10.0.BUNDLE"
                                   << "10.0";
        QTest::newRow("the first of two") << "tq-1.2.3-rc.4.5.bundle"
                                          << "1.2.3";
        QTest::newRow("a number alone is none") << "fw-v3.bundle"
                                                << "";
        QTest::newRow("none") << "firmware.bundle"
                              << "";
    }

    void versionInName()
    {
        QFETCH(QString, name);
        QFETCH(QString, version);
        QCOMPARE(BatchRules::versionInName(name), version);
    }
};

QTEST_GUILESS_MAIN(TestBatchRules)
#include "tst_batchrules.moc"
