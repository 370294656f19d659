// HTTP transfer helpers against a real server on 127.0.0.1: bodies, JSON
// objects and what is not one, downloads with and without a callback,
// transfers that end early, and what is never fetched. A process that
// starts a background transfer waits for it when it exits.

#include <QtTest>

#include <atomic>
#include <thread>

#include "httptestserver.h"
#include "kx2http.h"

class tst_KX2Http : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void bodyKeepsBlankLinesAndLosesOnlyHeaderBlocks();
    void jsonFetchNeedsAnObject();
    void oversizedBodyFails();
    void errorStatusStillDeliversItsBody();
    void unreachableOrForeignSchemeFails();
    void postSendsCompactJson();
    void fireAndForgetFormsReachTheServer();
    void exitWaitsForBackgroundTransfer();
    void downloadStreamsIntoFile();
    void downloadIntoMissingDirectoryMakesNoRequest();
    void callbackFalseOnFirstChunkStops();
    void truncatedDownloadFails();
    void checkedTransferTellsTheWholeOutcome();
    void checkedTransferEndsSlowAndStoppedTransfers_data();
    void checkedTransferEndsSlowAndStoppedTransfers();

private:
    QScopedPointer<HttpTestServer> server;
    QScopedPointer<QTemporaryDir> dir;
};

void tst_KX2Http::init()
{
    server.reset(new HttpTestServer());
    QVERIFY(server->isListening());
    dir.reset(new QTemporaryDir());
    QVERIFY(dir->isValid());
}

void tst_KX2Http::cleanup()
{
    server.reset();
    dir.reset();
}

void tst_KX2Http::bodyKeepsBlankLinesAndLosesOnlyHeaderBlocks()
{
    const QByteArray blankFirst = "\r\n\r\n{\"a\":1}";
    const QByteArray blankInside = "line one\r\n\r\nline two";
    const QByteArray headerBlock = "HTTP/1.1 200 OK\r\nX: y\r\n\r\npayload";
    server->setFile("/first", blankFirst);
    server->setFile("/inside", blankInside);
    server->setFile("/header", headerBlock);

    QByteArray body = "untouched";
    QVERIFY(curlHttpGet(body, server->url("/first"), 10));
    QCOMPARE(body, blankFirst);
    QVERIFY(curlHttpGet(body, server->url("/inside"), 10));
    QCOMPARE(body, blankInside);
    QVERIFY(curlHttpGet(body, server->url("/header"), 10));
    QCOMPARE(body, QByteArray("payload"));

    // A description whose text holds an empty line parses whole.
    server->setFile("/doc", "{\"items\":[],\r\n\r\n\"updatetime\":\"t\"}");
    QJsonObject object;
    QVERIFY(curlHttpGet(object, server->url("/doc"), 10));
    QCOMPARE(object.value("updatetime").toString(), QString("t"));
}

void tst_KX2Http::jsonFetchNeedsAnObject()
{
    server->setFile("/array", "[1,2,3]");
    server->setFile("/broken", "{\"a\":");
    const QJsonObject before{{"kept", true}};
    QJsonObject object = before;
    QVERIFY(!curlHttpGet(object, server->url("/array"), 10));
    QVERIFY(!curlHttpGet(object, server->url("/broken"), 10));
    QCOMPARE(object, before);
    QCOMPARE(server->requests().size(), 2);
}

void tst_KX2Http::oversizedBodyFails()
{
    const QByteArray fits(16 * 1024 * 1024, ' ');
    server->setFile("/fits", fits);
    server->setFile("/huge", fits + "x");
    QByteArray body;
    QVERIFY(curlHttpGet(body, server->url("/fits"), 30));
    QCOMPARE(body.size(), fits.size());
    body = "untouched";
    QVERIFY(!curlHttpGet(body, server->url("/huge"), 30));
    QCOMPARE(body, QByteArray("untouched"));
}

void tst_KX2Http::errorStatusStillDeliversItsBody()
{
    server->setFile("/missing", "{\"error\":\"no such file\"}", 404);
    QJsonObject object;
    QVERIFY(curlHttpGet(object, server->url("/missing"), 10));
    QCOMPARE(object, QJsonObject({{"error", "no such file"}}));
}

void tst_KX2Http::unreachableOrForeignSchemeFails()
{
    // A port nothing listens on: the server's port once it has gone.
    const QString closed = server->url("/x");
    server.reset();
    QByteArray body = "untouched";
    QVERIFY(!curlHttpGet(body, closed, 5));
    QCOMPARE(body, QByteArray("untouched"));

    // Only HTTP(S): a description pointing at a local file fetches nothing.
    const QString secret = dir->filePath("secret");
    QFile file(secret);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("local secret") > 0);
    file.close();
    QVERIFY(!curlHttpGet(body, QUrl::fromLocalFile(secret).toString(), 5));
    QVERIFY(!curlHttpDownload(dir->filePath("copy"), QUrl::fromLocalFile(secret).toString(), 5));
    QCOMPARE(QFileInfo(dir->filePath("copy")).size(), 0);
}

void tst_KX2Http::postSendsCompactJson()
{
    server->setFile("/post", "{\"ok\":1}");
    server->setFile("/text", "plain words");
    QJsonObject reply;
    QByteArray raw;
    QVERIFY(curlHttpPost(reply, server->url("/post"), QJsonObject{{"k", "v"}, {"n", 2}}, &raw));
    QCOMPARE(reply, QJsonObject({{"ok", 1}}));
    QCOMPARE(raw, QByteArray("{\"ok\":1}"));
    const HttpTestServer::Request request = server->requests().value(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.body, QByteArray("{\"k\":\"v\",\"n\":2}"));
    QVERIFY(request.headers.contains("\r\nContent-Type:application/json"));

    // Not an object: false, but the raw reply is handed out.
    QVERIFY(!curlHttpPost(reply, server->url("/text"), QJsonObject(), &raw));
    QCOMPARE(raw, QByteArray("plain words"));
    QCOMPARE(reply, QJsonObject({{"ok", 1}}));
}

void tst_KX2Http::fireAndForgetFormsReachTheServer()
{
    curlHttpGet(server->url("/ping"), 10);
    curlHttpPost(server->url("/event"), QJsonObject{{"e", 1}});
    QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 2, 10000);
    QVERIFY(server->requestedPaths().contains("/ping"));
    QVERIFY(server->requestedPaths().contains("/event"));
}

// The child (this program, see main()) starts a background GET and returns
// from main() at once; its exit joins the transfer, which lasts as long as
// the server's pauses between the chunks of its reply.
void tst_KX2Http::exitWaitsForBackgroundTransfer()
{
    HttpTestServer::Reply reply;
    reply.body = QByteArray(5 * 1024, 'x');
    reply.chunkSize = 1024;
    reply.pauseMs = 400;
    server->setReply("/slow", reply);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KX2HTTP_BACKGROUND_GET"), server->url("/slow"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY(server->requestedPaths().contains("/slow"));
    QVERIFY2(timer.elapsed() >= 4 * reply.pauseMs, qPrintable(QString::number(timer.elapsed())));
}

void tst_KX2Http::downloadStreamsIntoFile()
{
    QByteArray content;
    for (int i = 0; i < 20000; ++i)
        content += QByteArray::number(i) + '\n';
    HttpTestServer::Reply reply;
    reply.body = content;
    reply.chunkSize = 16384;
    server->setReply("/db/main.cvd", reply);

    const QString target = dir->filePath("main.cvd");
    {
        QFile older(target);
        QVERIFY(older.open(QIODevice::WriteOnly));
        older.write(QByteArray(content.size() * 2, 'o'));
    }
    qint64 reported = 0;
    int calls = 0;
    QVERIFY(curlHttpDownloading(
        target, server->url("/db/main.cvd"),
        [&](unsigned long n) {
            reported += n;
            ++calls;
            return true;
        },
        10));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content); // an older, longer file was truncated
    QCOMPARE(reported, qint64(content.size()));
    QVERIFY(calls > 1);
    QVERIFY(server->requests().value(0).headers.contains(
        "\r\nUser-Agent: Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko"));

    QVERIFY(curlHttpDownload(dir->filePath("plain"), server->url("/db/main.cvd"), 10));
    QCOMPARE(QFileInfo(dir->filePath("plain")).size(), qint64(content.size()));
}

void tst_KX2Http::downloadIntoMissingDirectoryMakesNoRequest()
{
    server->setFile("/f", "content");
    bool called = false;
    QVERIFY(!curlHttpDownloading(
        dir->filePath("missing/f"), server->url("/f"),
        [&](unsigned long) {
            called = true;
            return true;
        },
        10));
    QVERIFY(!curlHttpDownload(dir->filePath("missing/f"), server->url("/f"), 10));
    QVERIFY(!called);
    QVERIFY(server->requests().isEmpty());
    QVERIFY(!QFileInfo::exists(dir->filePath("missing")));
}

void tst_KX2Http::callbackFalseOnFirstChunkStops()
{
    HttpTestServer::Reply reply;
    reply.body = QByteArray(64 * 1024, 'x');
    reply.chunkSize = 1024;
    reply.pauseMs = 20; // the first chunk arrives on its own
    server->setReply("/slow", reply);
    const QString target = dir->filePath("slow");
    unsigned long first = 0;
    int calls = 0;
    // Calls with 0 (no chunk yet) only ask whether the transfer is still wanted.
    QVERIFY(!curlHttpDownloading(
        target, server->url("/slow"),
        [&](unsigned long n) {
            if (n == 0)
                return true;
            first = n;
            ++calls;
            return false;
        },
        30));
    QCOMPARE(calls, 1);
    QVERIFY(first > 0);
    // Nothing was written after the first chunk.
    QCOMPARE(QFileInfo(target).size(), qint64(first));
}

void tst_KX2Http::truncatedDownloadFails()
{
    HttpTestServer::Reply reply;
    reply.body = QByteArray(10000, 'y');
    reply.cutAfter = 4000;
    server->setReply("/cut", reply);
    QVERIFY(!curlHttpDownload(dir->filePath("cut"), server->url("/cut"), 10));
    QCOMPARE(QFileInfo(dir->filePath("cut")).size(), qint64(4000));
    QByteArray body = "untouched";
    QVERIFY(!curlHttpGet(body, server->url("/cut"), 10));
    QCOMPARE(body, QByteArray("untouched"));

    // Without a length announced, the end of the connection is the end of
    // the body: the transfer counts as complete (which is why the update
    // checks size and MD5 itself).
    reply.announceFull = false;
    server->setReply("/cut", reply);
    QVERIFY(curlHttpDownload(dir->filePath("cut"), server->url("/cut"), 10));
    QCOMPARE(QFileInfo(dir->filePath("cut")).size(), qint64(4000));
}

void tst_KX2Http::checkedTransferTellsTheWholeOutcome()
{
    // A JSON body behind an error status is not a success.
    server->setFile("/missing", "{\"items\":[]}", 404);
    server->setFile("/broken", "{\"items\":[]}", 500);
    server->setFile("/doc", "{\"items\":[]}");
    KX2HttpTransfer transfer;
    transfer.url = server->url("/missing");
    KX2HttpResult result = kx2HttpTransfer(transfer);
    QCOMPARE(result.kind, KX2HttpResult::HttpError);
    QCOMPARE(result.status, 404L);
    QCOMPARE(result.reason, QString("HTTP 404"));
    QVERIFY(result.body.isEmpty());
    transfer.url = server->url("/broken");
    QCOMPARE(kx2HttpTransfer(transfer).status, 500L);
    transfer.url = server->url("/doc");
    result = kx2HttpTransfer(transfer);
    QVERIFY(result.ok());
    QCOMPARE(result.body, QByteArray("{\"items\":[]}"));

    // Into a file, with a size limit.
    transfer.filePath = dir->filePath("doc");
    QVERIFY(kx2HttpTransfer(transfer).ok());
    QCOMPARE(QFileInfo(transfer.filePath).size(), qint64(12));
    transfer.maxBytes = 5;
    QCOMPARE(kx2HttpTransfer(transfer).kind, KX2HttpResult::Failed);

    transfer.url = "http://127.0.0.1:1/doc"; // nothing listens there
    result = kx2HttpTransfer(transfer);
    QCOMPARE(result.kind, KX2HttpResult::Unreachable);
    QVERIFY(!result.reason.isEmpty());
}

void tst_KX2Http::checkedTransferEndsSlowAndStoppedTransfers_data()
{
    QTest::addColumn<bool>("stop");
    QTest::newRow("below the rate floor") << false;
    QTest::newRow("stopped while stalled") << true;
}

void tst_KX2Http::checkedTransferEndsSlowAndStoppedTransfers()
{
    QFETCH(bool, stop);
    // A trickle: 16 bytes every 400 ms, far below 1 KiB/s.
    HttpTestServer::Reply slow;
    slow.body = QByteArray(1 << 20, 'x');
    slow.chunkSize = 16;
    slow.pauseMs = stop ? 600000 : 400;
    server->setReply("/slow", slow);

    std::atomic<bool> wanted{true};
    std::atomic<qint64> received{0};
    KX2HttpTransfer transfer;
    transfer.url = server->url("/slow");
    transfer.filePath = dir->filePath("slow");
    transfer.maxBytes = slow.body.size();
    transfer.lowSpeedSeconds = stop ? 3600 : 2;
    transfer.callback = [&](unsigned long bytes) {
        received += qint64(bytes);
        return wanted.load();
    };
    KX2HttpResult result;
    std::atomic<bool> done{false};
    std::thread client([&] {
        result = kx2HttpTransfer(transfer);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(received.load() > 0, 10000);
    QElapsedTimer timer;
    timer.start();
    if (stop)
        wanted = false;
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 15000);
    client.join();
    QVERIFY(ended);
    if (stop) {
        QCOMPARE(result.kind, KX2HttpResult::Stopped);
        QVERIFY2(timer.elapsed() < 1500, "a stop must end a stalled transfer within a second");
    } else {
        QCOMPARE(result.kind, KX2HttpResult::Failed);
        QVERIFY(!result.reason.isEmpty());
    }
}

int main(int argc, char** argv)
{
    // The child of exitWaitsForBackgroundTransfer.
    const QByteArray url = qgetenv("KX2HTTP_BACKGROUND_GET");
    if (!url.isEmpty()) {
        curlHttpGet(QString::fromUtf8(url), 20);
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_KX2Http test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_kx2http.moc"
