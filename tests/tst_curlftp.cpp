#include "testmain.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>

#include <thread>

#include "CURLFtp.h"
#include "floodserver.h"
#include "messagelog.h"
#include "testbytes.h"
#include "testservers.h"

// The client against real servers of every kind, and its pure parts alone.
class TestCurlFtp : public QObject
{
    Q_OBJECT

    TestServerPool pool;

    static QByteArray pattern(int size) { return TestBytes::pattern(size); }
    static QByteArray readFile(const QString &path) { return TestBytes::readFile(path); }

private slots:
    void cleanup() { pool.releaseImplicit(); }

    void errorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("ok") << 0 << "";
        QTest::newRow("16") << 16 << "undocumented error";
        QTest::newRow("90") << 90 << "undocumented error";
        QTest::newRow("negative") << -1 << "undocumented error";
        QTest::newRow("9") << 9 << "Remote access denied";
        QTest::newRow("25") << 25 << "Failed upload \"command\"";
        QTest::newRow("37") << 37 << "Could not red file";
        QTest::newRow("42 aborted") << 42 << "undocumented error";
        QTest::newRow("67") << 67 << "User, password or similar was not accepted and we failed to login";
        QTest::newRow("81") << 81 << "Socket is not ready for send/recv,\t\t\t\t\t\t\t\t   wait till it's ready and try again";
        QTest::newRow("79") << 79 << "Error from the SSH layer, somewhat\t\t\t\t\t\t\t  generic so the error message will be of\t\t\t\t\t\t\t\t   interest when this has happened";
        QTest::newRow("88") << 88 << "chunk callback reported error";
        QTest::newRow("89") << 89 << "No connection available, the\t\t\t\t\t\t\t\t   session will be queued";
    }
    void errorTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(CURLFtp::errorText(code), text);
    }

    void errorTextsCoverTheTable()
    {
        const QList<int> undocumented = { 16, 20, 22, 24, 27, 29, 32, 34, 40, 41, 42, 43, 44, 45, 46,
                                          47, 48, 49, 50, 52, 57 };
        int documented = 0;
        for (int code = 1; code < 90; ++code) {
            const bool none = CURLFtp::errorText(code) == QLatin1String("undocumented error");
            QCOMPARE(none, undocumented.contains(code));
            documented += none ? 0 : 1;
        }
        QCOMPARE(documented, 68);
        QVERIFY(CURLFtp::errorText(76).endsWith("CURLOPT_CONV_FROM_UTF8_FUNCTION "));
    }

    void readerHandsOverPieces()
    {
        QByteArray data = pattern(20000);
        CURLFtp::Upload upload;
        upload.data = &data;
        QByteArray room(CURL_MAX_READ_SIZE, 0), sent;
        QList<size_t> pieces;
        for (int i = 0; i < 10; ++i) {
            const size_t n = CURLFtp::reader_(room.data(), 1, size_t(room.size()), &upload);
            pieces << n;
            sent += room.left(int(n));
            if (n == 0)
                break;
        }
        QCOMPARE(pieces, (QList<size_t>{ 8096, 8096, 3808, 0 }));
        QCOMPARE(sent, pattern(20000));
        // Never more than the room the library offers.
        upload.offset = 0;
        QCOMPARE(CURLFtp::reader_(room.data(), 1, 100, &upload), size_t(100));
        QCOMPARE(CURLFtp::reader_(room.data(), 1, 1, nullptr), size_t(0));
    }

    void homePathRule()
    {
        QString home = "old";
        QByteArray two = "257 \"/home/u/\" is current directory.\n";
        QByteArray one = "250 \"odd\n";
        QByteArray three = "257 \"a\"b\" x\n";
        CURLFtp::headerWriter_(two.data(), 1, size_t(two.size()), &home);
        QCOMPARE(home, QString("/home/u/"));
        CURLFtp::headerWriter_(one.data(), 1, size_t(one.size()), &home);
        QCOMPARE(home, QString());
        CURLFtp::headerWriter_(two.data(), 1, size_t(two.size()), &home);
        CURLFtp::headerWriter_(three.data(), 1, size_t(three.size()), &home);
        QCOMPARE(home, QString());
    }

    void remotePathCollapses()
    {
        CURLFtp ftp;
        QCOMPARE(ftp.remotePath("//x"), QString("/x"));
        QCOMPARE(ftp.remotePath("///x"), QString("//x"));
        QCOMPARE(ftp.remotePath("/site/a.html"), QString("/site/a.html"));
    }

    void failuresWithoutServer_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("code");
        // Names under .invalid never resolve, so no traffic leaves the machine.
        QTest::newRow("unresolvable") << "ftp://nowhere.invalid:21/" << 6;
        QTest::newRow("unresolvable sftp") << "sftp://nowhere.invalid:22/" << 6;
        QTest::newRow("no port") << "ftp://127.0.0.1/" << 3;
    }
    void failuresWithoutServer()
    {
        QFETCH(QString, url);
        QFETCH(int, code);
        CURLFtp ftp;
        QVERIFY(!ftp.connectToUrl(QUrl(url)));
        QCOMPARE(int(ftp.code()), code);
        QCOMPARE(ftp.errorString(), CURLFtp::errorText(code));
    }

    void refusedConnection()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        CURLFtp ftp;
        QVERIFY(!ftp.connectToUrl(QUrl(QString("ftp://127.0.0.1:%1/").arg(port))));
        QCOMPARE(ftp.errorString(), QString("Could not connect"));
    }

    // A server that accepts and then never says a word.
    void silentServerTimesOut()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        CURLFtp ftp;
        ftp.setTimeouts(5, 2);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!ftp.connectToUrl(QUrl(QString("ftp://127.0.0.1:%1/").arg(silent.serverPort()))));
        QCOMPARE(int(ftp.code()), int(CURLE_OPERATION_TIMEDOUT));
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    }

    void abortEndsARunningTransfer()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        CURLFtp ftp;
        std::thread canceller([&ftp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ftp.abort();
        });
        QElapsedTimer timer;
        timer.start();
        const bool ok = ftp.connectToUrl(QUrl(QString("ftp://127.0.0.1:%1/").arg(silent.serverPort())));
        canceller.join();
        QVERIFY(!ok);
        QCOMPARE(int(ftp.code()), int(CURLE_ABORTED_BY_CALLBACK));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        // Aborted stays aborted: nothing more goes out until it is cleared.
        QByteArray data("x");
        QVERIFY(!ftp.put(data, "/x"));
        QCOMPARE(int(ftp.code()), int(CURLE_ABORTED_BY_CALLBACK));
        ftp.clearAbort();
        QVERIFY(!ftp.isAborted());
    }

    // A "server" that talks without end: lines that are no SSH greeting keep
    // libssh2 inside its greeting reader, where no callback of the client
    // runs; well-formed packets that never bring the key exchange keep it in
    // its packet reader. The stall time-out and an abort from another thread
    // end both all the same, by cutting the connection under the library.
    void floodingServerIsCut_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("abortIt");
        QTest::newRow("endless lines, stall time-out") << int(FloodServer::Lines) << false;
        QTest::newRow("endless lines, abort") << int(FloodServer::Lines) << true;
        QTest::newRow("endless SSH packets, stall time-out") << int(FloodServer::SshPackets) << false;
        QTest::newRow("endless SSH packets, abort") << int(FloodServer::SshPackets) << true;
    }
    void floodingServerIsCut()
    {
        QFETCH(int, mode);
        QFETCH(bool, abortIt);
        FloodServer flood { FloodServer::Mode(mode) };
        QVERIFY(flood.isListening());
        CURLFtp ftp;
        ftp.setTimeouts(5, 2);
        std::thread canceller;
        if (abortIt) {
            canceller = std::thread([&ftp, &flood] {
                for (int i = 0; i < 100 && flood.connections() == 0; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                ftp.abort();
            });
        }
        QElapsedTimer timer;
        timer.start();
        const bool ok = ftp.connectToUrl(QUrl(QString("sftp://someone:pw@127.0.0.1:%1/").arg(flood.port())));
        const qint64 elapsed = timer.elapsed();
        if (canceller.joinable())
            canceller.join();
        QVERIFY(!ok);
        QCOMPARE(flood.connections(), 1);
        QVERIFY2(flood.sent() > 1000000, qPrintable(QString::number(flood.sent())));
        if (abortIt) {
            QCOMPARE(int(ftp.code()), int(CURLE_ABORTED_BY_CALLBACK));
            QVERIFY2(elapsed < 1500, qPrintable(QString::number(elapsed)));
        } else {
            QCOMPARE(int(ftp.code()), int(CURLE_OPERATION_TIMEDOUT));
            QVERIFY2(elapsed >= 1900 && elapsed < 4000, qPrintable(QString::number(elapsed)));
        }
    }

    // An SFTP transfer that stalls on a frozen server ends with its connection
    // cut: the library's good-bye to the silent server would wait out its own
    // limit and then leave the SSH session allocated.
    void stalledSftpTransferCutsItsConnection()
    {
        TestServer frozen(TestServer::Sftp);
        QVERIFY2(frozen.start(), qPrintable(frozen.errorString()));
        qputenv("QUILLARY_CURL_TRACE", "1");
        MessageLog log;
        bool ok = true;
        CURLcode code = CURLE_OK;
        {
            CURLFtp ftp;
            ftp.setTimeouts(5, 2);
            QVERIFY2(ftp.connectToUrl(frozen.storedUrl()), qPrintable(ftp.errorString()));
            QVERIFY(frozen.sendSignalToAll(SIGSTOP));
            QByteArray data = pattern(200000);
            ok = ftp.put(data, "/frozen.bin");
            code = ftp.code();
        }
        qunsetenv("QUILLARY_CURL_TRACE");
        frozen.sendSignalToAll(SIGCONT);
        QVERIFY(!ok);
        QCOMPARE(int(code), int(CURLE_OPERATION_TIMEDOUT));
        QVERIFY2(log.messages().filter("Disconnect timed out").isEmpty(),
                 qPrintable(log.messages().filter("Disconnect").join('\n')));
    }

    void logIn_data() { TestServer::addKindRows(); }
    void logIn()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        QCOMPARE(ftp.home(), s->homePath());
        QCOMPARE(ftp.errorString(), QString());
        QCOMPARE(ftp.server(), QString("%1://127.0.0.1:%2").arg(s->kind() == TestServer::PyFtpsImplicit
                                                                        || s->kind() == TestServer::VsftpdImplicit
                                                                    ? "ftps" : s->isSftp() ? "sftp" : "ftp")
                                   .arg(s->port()));
        // Logging in again learns the same home.
        QVERIFY(ftp.connectToUrl(s->storedUrl()));
        QCOMPARE(ftp.home(), s->homePath());
    }

    void wrongPassword_data() { TestServer::addKindRows(); }
    void wrongPassword()
    {
        QFETCH(TestServer::Kind, kind);
        QString error;
        TestServer *s = pool.get(kind, &error);
        QVERIFY2(s, qPrintable(error));
        CURLFtp ftp;
        QVERIFY(!ftp.connectToUrl(s->storedUrl("/", s->user(), "wrong")));
        QCOMPARE(ftp.errorString(), QString("User, password or similar was not accepted and we failed to login"));
    }

    // A refused password reaches the server once per log-in, in the
    // server's own log: the library would also try it as keyboard-interactive
    // where the server offers both. A server that takes it only that way still
    // gets it, once, and a right password logs in there.
    void refusedPasswordSentOnce_data()
    {
        TestServer::addKindRows({ TestServer::PyFtp, TestServer::Vsftpd, TestServer::VsftpdExplicit,
                                  TestServer::VsftpdImplicit, TestServer::Sftp, TestServer::SftpPam,
                                  TestServer::SftpKeyboard });
    }
    void refusedPasswordSentOnce()
    {
        TestServer *s = pool.rowServer();
        if (!s)
            return;
        const int failedBefore = s->failedLogins();
        {
            CURLFtp ftp;
            QVERIFY(!ftp.connectToUrl(s->storedUrl("/", s->user(), "wrong")));
            QVERIFY(ftp.loginRefused());
            QCOMPARE(int(ftp.code()), int(CURLE_LOGIN_DENIED));
        }
        QTRY_VERIFY_WITH_TIMEOUT(s->failedLogins() > failedBefore, 5000);
        QTest::qWait(300);
        QCOMPARE(s->failedLogins() - failedBefore, 1);

        const int loginsBefore = s->logins();
        CURLFtp ftp;
        QVERIFY2(ftp.connectToUrl(s->storedUrl()), qPrintable(ftp.errorString()));
        QVERIFY(!ftp.loginRefused());
        QTRY_COMPARE_WITH_TIMEOUT(s->logins() - loginsBefore, 1, 5000);
        QCOMPARE(s->failedLogins() - failedBefore, 1);
    }

    void anonymous_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::newRow("pyftpd") << TestServer::PyFtp;
        QTest::newRow("pyftpd-explicit") << TestServer::PyFtpsExplicit;
    }
    void anonymous()
    {
        QFETCH(TestServer::Kind, kind);
        QString error;
        TestServer *s = pool.get(kind, &error);
        QVERIFY2(s, qPrintable(error));
        CURLFtp ftp;
        // The stored form of an empty user name is an encoded empty text.
        QVERIFY2(ftp.connectToUrl(s->storedUrl("/", QString(), QString())), qPrintable(ftp.errorString()));
        QByteArray data("anonymous bytes");
        QVERIFY(ftp.put(data, "/anonymous.txt"));
        QCOMPARE(readFile(s->rootFolder() + "/anonymous.txt"), QByteArray("anonymous bytes"));
    }

    void noPasswordInTrace()
    {
        QString error;
        TestServer *s = pool.get(TestServer::PyFtp, &error);
        QVERIFY2(s, qPrintable(error));
        {
            // Off unless asked for.
            MessageLog quiet;
            CURLFtp ftp;
            QVERIFY(ftp.connectToUrl(s->storedUrl()));
            QVERIFY(quiet.messages().filter(QRegularExpression("^[<>*] ")).isEmpty());
        }
        qputenv("QUILLARY_CURL_TRACE", "1");
        MessageLog log;
        {
            CURLFtp ftp;
            QVERIFY(ftp.connectToUrl(s->storedUrl()));
            QVERIFY(!ftp.cd("/missing-folder"));
        }
        qunsetenv("QUILLARY_CURL_TRACE");
        const QString all = log.messages().join('\n');
        QVERIFY(all.contains("PASS ****"));
        QVERIFY(!all.contains(s->password()));
        QVERIFY(!all.contains(EncryptManager::encode(s->password())));
    }

    void folders_data() { TestServer::addKindRows(); }
    void folders()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        QVERIFY(!ftp.cd("/folders"));
        QVERIFY(!ftp.errorString().isEmpty());
        QVERIFY2(ftp.mkdir("/folders"), qPrintable(ftp.errorString()));
        QVERIFY2(ftp.cd("/folders"), qPrintable(ftp.errorString()));
        QVERIFY(ftp.mkdir("/folders/sub"));
        QVERIFY(QFileInfo(s->rootFolder() + "/folders/sub").isDir());
        QVERIFY(ftp.cd("/folders/sub"));
        QVERIFY(ftp.cd("/"));
        // A folder whose parent is missing, or one that exists, is refused.
        QVERIFY(!ftp.mkdir("/none/sub"));
        QCOMPARE(ftp.errorString(), QString("Quote command failure"));
        QVERIFY(!ftp.mkdir("/folders"));
        QCOMPARE(int(ftp.code()), int(CURLE_QUOTE_ERROR));
        // The connection is still good afterwards.
        QVERIFY(ftp.cd("/folders/sub"));
        QVERIFY(!ftp.cd("/folders/none"));
    }

    void uploadAndDownload_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::addColumn<int>("size");
        for (TestServer::Kind kind : TestServer::allKinds()) {
            for (int size : { 0, 20000, 3 * 1024 * 1024 + 7 })
                QTest::addRow("%s %d", qPrintable(TestServer::kindName(kind)), size) << kind << size;
        }
    }
    void uploadAndDownload()
    {
        QFETCH(int, size);
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        const QString name = QString("/up-%1.bin").arg(size);
        QByteArray data = pattern(size);
        QVERIFY2(ftp.put(data, name), qPrintable(ftp.errorString()));
        QVERIFY(data.isEmpty());
        QCOMPARE(readFile(s->rootFolder() + name), pattern(size));
        // Replacing it with other bytes leaves only those.
        QByteArray other("short");
        QVERIFY(ftp.put(other, name));
        QCOMPARE(readFile(s->rootFolder() + name), QByteArray("short"));
        QByteArray again = pattern(size);
        QVERIFY(ftp.put(again, name));

        QBuffer back;
        QVERIFY(back.open(QIODevice::WriteOnly));
        QVERIFY2(ftp.get(name, &back), qPrintable(ftp.errorString()));
        QCOMPARE(back.data().size(), size);
        QVERIFY(back.data() == pattern(size));
        QVERIFY(back.isOpen());
    }

    // On one connection, uploads that go back and forth between folders of
    // different depths each land in their own folder, also where the log-in
    // folder is not the server's top; one into a missing folder is refused
    // by the change of folder and leaves the connection usable.
    void uploadsAcrossFolders_data()
    {
        TestServer::addKindRows();
        QTest::newRow("vsftpd-nochroot") << TestServer::VsftpdNoChroot;
    }
    void uploadsAcrossFolders()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        for (const char *dir : { "/across", "/across/a", "/across/a/b", "/across/c" })
            QVERIFY2(ftp.mkdir(dir), qPrintable(ftp.errorString()));
        const QStringList paths { "/across/a/b/1.txt", "/across/c/2.txt", "/across/3.txt", "/across/a/4.txt",
                                  "/across/a/b/5.txt", "/top.txt", "/across/a/b/6.txt" };
        for (const QString &path : paths) {
            QByteArray data = path.toUtf8();
            QVERIFY2(ftp.put(data, path), qPrintable(path + ": " + ftp.errorString()));
        }
        for (const QString &path : paths)
            QCOMPARE(readFile(s->rootFolder() + path), path.toUtf8());

        QByteArray lost("lost");
        QVERIFY(!ftp.put(lost, "/across/none/x.txt"));
        if (!s->isSftp())
            QCOMPARE(ftp.errorString(), QString("Remote access denied"));
        QVERIFY(!QFile::exists(s->rootFolder() + "/across/none"));
        QByteArray after("after");
        QVERIFY2(ftp.put(after, "/across/c/after.txt"), qPrintable(ftp.errorString()));
        QCOMPARE(readFile(s->rootFolder() + "/across/c/after.txt"), QByteArray("after"));
        QBuffer back;
        QVERIFY(back.open(QIODevice::WriteOnly));
        QVERIFY2(ftp.get("/across/a/4.txt", &back), qPrintable(ftp.errorString()));
        QCOMPARE(back.data(), QByteArray("/across/a/4.txt"));
    }

    void deviceUpload_data() { TestServer::addKindRows(); }
    void deviceUpload()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        QBuffer source;
        source.setData("from a device");
        QVERIFY(ftp.put(&source, "/device.txt"));
        QVERIFY(!source.isOpen());
        QCOMPARE(readFile(s->rootFolder() + "/device.txt"), QByteArray("from a device"));
        // A device that cannot be opened sends nothing and keeps the last result.
        QFile missing(QDir::tempPath() + "/no-such-file");
        QVERIFY(!ftp.put(&missing, "/never.txt"));
        QCOMPARE(ftp.errorString(), QString());
        QVERIFY(!QFile::exists(s->rootFolder() + "/never.txt"));
    }

    void namesWithUrlCharacters_data() { TestServer::addKindRows(); }
    void namesWithUrlCharacters()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        const QString name = QString::fromUtf8("/odd #1 ?q=%41 \xc3\xa4.txt");
        QVERIFY(ftp.mkdir("/odd %2F \"q\" dir"));
        QVERIFY(ftp.cd("/odd %2F \"q\" dir"));
        QByteArray data("odd");
        QVERIFY2(ftp.put(data, "/odd %2F \"q\" dir" + name), qPrintable(ftp.errorString()));
        QCOMPARE(readFile(s->rootFolder() + "/odd %2F \"q\" dir" + name), QByteArray("odd"));
        QBuffer back;
        QVERIFY(back.open(QIODevice::WriteOnly));
        QVERIFY(ftp.get("/odd %2F \"q\" dir" + name, &back));
        QCOMPARE(back.data(), QByteArray("odd"));
    }

    void missingDownload_data() { TestServer::addKindRows(); }
    void missingDownload()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        QBuffer back;
        QVERIFY(back.open(QIODevice::WriteOnly));
        QVERIFY(!ftp.get("/no-such-file.txt", &back));
        QVERIFY(!ftp.errorString().isEmpty());
        QVERIFY(back.data().isEmpty());
    }
};

QUILLARY_TEST_MAIN(TestCurlFtp)
#include "tst_curlftp.moc"
