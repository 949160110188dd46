#include "remote/Commands.h"
#include "remote/DataSpace.h"
#include "remote/ServerAddresses.h"
#include "remote/ServerCertificates.h"
#include "shell/Global.h"
#include "shell/QavError.h"
#include "station/LogoView.h"
#include "station/StationLogic.h"
#include "tests/support/ServerProcess.h"

#include <QSignalSpy>
#include <QtTest>

// HTTPS between the station's channel and the real qav-server, with certificates made for the
// test by openssl: a CA the station is built to trust, a server certificate from it for
// 127.0.0.1, and a stranger CA with its own server certificates.
class TestTls : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_trusted;   // certificate from the station's CA
    std::unique_ptr<ServerProcess> m_stranger;  // certificate from another CA
    std::unique_ptr<ServerProcess> m_wrongHost; // the station's CA, but for another host
    std::unique_ptr<ServerProcess> m_rsa;       // an RSA key, for the suites that need one

    QString file(const QString &name) const { return m_dir.filePath(name); }

    // Runs openssl in the test folder; the empty text, or what went wrong.
    QString openssl(const QStringList &args)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0)
            return QStringLiteral("openssl %1: %2 %3")
                .arg(args.join(u' '), p.errorString(),
                     QString::fromLocal8Bit(p.readAllStandardError()));
        return QString();
    }

    QString makeCa(const QString &name)
    {
        return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-subj", "/CN=" + name, "-keyout", name + ".key",
                        "-out", name + ".pem", "-addext", "basicConstraints=critical,CA:TRUE",
                        "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    }

    QString makeServerCertificate(const QString &name, const QString &ca, const QString &altNames,
                                  const QStringList &keyType = {"ec", "-pkeyopt",
                                                                "ec_paramgen_curve:prime256v1"})
    {
        QFile ext(file(name + ".ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return ext.errorString();
        ext.write("subjectAltName=" + altNames.toUtf8() + "\n");
        ext.close();
        QString failure = openssl(QStringList{"req", "-newkey"} + keyType +
                                  QStringList{"-nodes", "-subj", "/CN=" + name, "-keyout",
                                              name + ".key", "-out", name + ".csr"});
        if (failure.isEmpty())
            failure = openssl({"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
                               ca + ".key", "-CAcreateserial", "-days", "2", "-extfile",
                               name + ".ext", "-out", name + ".pem"});
        return failure;
    }

    std::unique_ptr<ServerProcess> startServer(const QString &certificate, bool constantAnswer,
                                               const QStringList &arguments = {})
    {
        ServerOptions options;
        options.serveArguments = arguments;
        options.constantAnswer = constantAnswer;
        options.imagesDir = QStringLiteral(QAV_SOURCE_DIR "/assets/demo");
        options.tlsCert = file(certificate + ".pem");
        options.tlsKey = file(certificate + ".key");
        return startedServer(options);
    }

    static std::unique_ptr<RecordSet> query(const QString &url, const QString &command)
    {
        return DataSpace().CreateObject(QStringLiteral("Velmor.member"), url)->Query(command);
    }

    // The number and text of the QavError that body threw; 0 when none.
    template <class F> static int failureOf(F &&body, QString *description)
    {
        try {
            body();
        } catch (const QavError &e) {
            *description = e.description();
            return e.number();
        }
        return 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (const QString &failure :
             {makeCa("station-ca"), makeCa("stranger-ca"),
              makeServerCertificate("gate-server", "station-ca", "IP:127.0.0.1,DNS:localhost"),
              makeServerCertificate("stranger-server", "stranger-ca", "IP:127.0.0.1,DNS:localhost"),
              makeServerCertificate("other-host", "station-ca", "DNS:tickets.invalid"),
              makeServerCertificate("rsa-server", "station-ca", "IP:127.0.0.1", {"rsa:2048"})})
            QVERIFY2(failure.isEmpty(), qPrintable(failure));

        m_trusted = startServer("gate-server", false);
        m_stranger = startServer("stranger-server", true);
        m_wrongHost = startServer("other-host", true);
        m_rsa = startServer("rsa-server", true);
        for (const auto *server :
             {m_trusted.get(), m_stranger.get(), m_wrongHost.get(), m_rsa.get()})
            QVERIFY2(server->port() != 0, qPrintable(server->errorText()));
        QVERIFY(m_trusted->url().startsWith(u"https://"));
        BusinessObject::setTimeoutMs(20000);
    }

    void init()
    {
        ServerCertificates::overrideCaFile(file("station-ca.pem"));
        BusinessObject::closeConnections();
        g_SessionKey.clear();
    }

    void cleanupTestCase()
    {
        BusinessObject::closeConnections();
        g_SessionKey.clear();
    }

    void shiftOverHttps()
    {
        auto signIn = query(m_trusted->url(), Commands::OperatorSignIn("gate01", "gate01"));
        QCOMPARE(signIn->Fields("ErrCode"), QStringLiteral("0"));
        if (signIn->columns().contains(QStringLiteral("SessionKey"), Qt::CaseInsensitive))
            g_SessionKey = signIn->Fields("SessionKey");

        auto verdict =
            query(m_trusted->url(),
                  Commands::Verification("I", signIn->Fields("bizcode"), "10000001", "gate01"));
        QCOMPARE(verdict->Fields("ErrCode"), QStringLiteral("0"));
        QCOMPARE(verdict->Fields("TicketNo"), QStringLiteral("10000001"));
    }

    void untrustedServerIsRefused_data()
    {
        QTest::addColumn<int>("server");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("detail");
        QTest::newRow("certificate from another CA") << 1 << "station-ca.pem"
                                                     << "issuer";
        QTest::newRow("certificate for another host") << 2 << "station-ca.pem"
                                                      << "host name";
        QTest::newRow("own CA not trusted: system CAs only") << 0 << ""
                                                             << "issuer";
        QTest::newRow("own CA file missing") << 0 << "missing.pem"
                                             << "cannot read the CA file";
    }
    void untrustedServerIsRefused()
    {
        QFETCH(int, server);
        QFETCH(QString, caFile);
        QFETCH(QString, detail);
        ServerProcess *target =
            std::vector{m_trusted.get(), m_stranger.get(), m_wrongHost.get()}[server];
        ServerCertificates::overrideCaFile(caFile.isEmpty() ? QString() : file(caFile));
        BusinessObject::closeConnections();
        const QString logBefore = target->log();

        try {
            query(target->url(), Commands::OperatorSignIn("gate01", "gate01"));
            QFAIL("the call went through");
        } catch (const QavError &e) {
            const QString description = e.description();
            QCOMPARE(e.number(), int(QavError::CertificateRefused));
            QVERIFY2(description.startsWith(
                         QStringLiteral("서버 인증서를 확인할 수 없어 연결하지 않았습니다")),
                     qPrintable(description));
            QVERIFY2(description.contains(u"the server's certificate could not be verified"),
                     qPrintable(description));
            QVERIFY2(description.contains(detail, Qt::CaseInsensitive), qPrintable(description));
            // At the gate the verdict line says so, not "scan again".
            QCOMPARE(station::notCheckedCaption(e),
                     QStringLiteral("서버 인증서 거부 – 관리자에게 알리세요"));
        }
        // Nothing reached the server: it logged no request.
        QCOMPARE(target->log(), logBefore);
    }

    // A name with several addresses is reached by address, and the certificate is still checked
    // against the name: the host for tickets.invalid is found past a refusing address, and a name
    // its certificate does not hold is refused even though the address is right.
    void severalAddressesAreVerifiedAgainstTheName()
    {
        const QList<QHostAddress> addresses{QHostAddress(QStringLiteral("127.0.0.2")),
                                            QHostAddress(QStringLiteral("127.0.0.1"))};
        ServerAddresses::setForTests(QStringLiteral("tickets.invalid"), addresses);
        ServerAddresses::setForTests(QStringLiteral("gates.invalid"), addresses);
        const auto at = [](const QString &name, const ServerProcess &server) {
            return QStringLiteral("https://%1:%2").arg(name).arg(server.port());
        };
        auto signIn = query(at(QStringLiteral("tickets.invalid"), *m_wrongHost),
                            Commands::OperatorSignIn("gate01", "gate01"));
        QCOMPARE(signIn->Fields("ErrCode"), QStringLiteral("0"));
        QString description;
        QCOMPARE(failureOf(
                     [&] {
                         query(at(QStringLiteral("gates.invalid"), *m_trusted),
                               Commands::OperatorSignIn("gate01", "gate01"));
                     },
                     &description),
                 int(QavError::CertificateRefused));
        QVERIFY2(description.contains(u"host name", Qt::CaseInsensitive), qPrintable(description));
        ServerAddresses::setForTests(QStringLiteral("tickets.invalid"), {});
        ServerAddresses::setForTests(QStringLiteral("gates.invalid"), {});
    }

    void bodyLimitHoldsUnderTls()
    {
        QString description;
        const QString oversized = QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '%1'")
                                      .arg(QString(5000, u'x'));
        QCOMPARE(failureOf([&] { query(m_trusted->url(), oversized); }, &description),
                 int(QavError::ServerRefused));
        QVERIFY2(description.contains(u"HTTP 413"), qPrintable(description));
    }

    void logoOnlyFromATrustedServer_data()
    {
        QTest::addColumn<int>("server");
        QTest::addColumn<bool>("shown");
        QTest::newRow("station's CA: shown") << 0 << true;
        QTest::newRow("another CA: left blank") << 1 << false;
    }
    void logoOnlyFromATrustedServer()
    {
        QFETCH(int, server);
        QFETCH(bool, shown);
        ServerProcess *target = server == 0 ? m_trusted.get() : m_stranger.get();
        LogoView view;
        QSignalSpy finished(&view, &LogoView::finished);
        view.Navigate(target->url() + QStringLiteral("/TicketImage/GRVM/logo_1234.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QCOMPARE(finished.first().first().toBool(), shown);
        QCOMPARE(view.image().isNull(), !shown);
    }

    // Forward secrecy and authenticated encryption, whatever a client offers.
    void onlyStrongSuites_data()
    {
        QTest::addColumn<bool>("rsa");
        QTest::addColumn<QStringList>("client");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("TLS 1.3") << false << QStringList{"-tls1_3"} << true;
        QTest::newRow("TLS 1.3 ChaCha20")
            << false << QStringList{"-tls1_3", "-ciphersuites", "TLS_CHACHA20_POLY1305_SHA256"}
            << true;
        QTest::newRow("ECDHE-ECDSA AES-GCM")
            << false << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"} << true;
        QTest::newRow("ECDHE-ECDSA ChaCha20")
            << false << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"} << true;
        QTest::newRow("ECDHE-RSA AES-GCM")
            << true << QStringList{"-tls1_2", "-cipher", "ECDHE-RSA-AES256-GCM-SHA384"} << true;
        QTest::newRow("ECDHE-ECDSA CBC SHA-1")
            << false << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA"} << false;
        QTest::newRow("ECDHE-ECDSA CBC SHA-384")
            << false << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-SHA384"} << false;
        QTest::newRow("ECDHE-RSA CBC SHA-1")
            << true << QStringList{"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA"} << false;
        QTest::newRow("static RSA CBC SHA-1")
            << true << QStringList{"-tls1_2", "-cipher", "AES128-SHA"} << false;
        QTest::newRow("static RSA AES-GCM")
            << true << QStringList{"-tls1_2", "-cipher", "AES128-GCM-SHA256"} << false;
        QTest::newRow("TLS 1.1") << false << QStringList{"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}
                                 << false;
    }
    void onlyStrongSuites()
    {
        QFETCH(bool, rsa);
        QFETCH(QStringList, client);
        QFETCH(bool, accepted);
        QProcess p;
        p.start(QStringLiteral("openssl"),
                QStringList{"s_client", "-connect",
                            QStringLiteral("127.0.0.1:%1").arg((rsa ? m_rsa : m_trusted)->port())} +
                    client);
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(30000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        static const QRegularExpression agreed(u"Cipher is [A-Z]"_qs);
        QVERIFY2(agreed.match(out).hasMatch() == accepted, qPrintable(out));
    }

    // A client that opens a connection and never says hello holds it 3 s, not longer.
    void stalledHandshakeIsDropped()
    {
        QTcpSocket silent;
        QElapsedTimer clock;
        clock.start();
        silent.connectToHost(QHostAddress::LocalHost, m_trusted->port());
        QVERIFY(silent.waitForConnected(5000));
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 6000);
        qInfo("dropped after %lld ms", clock.elapsed());
        QVERIFY(clock.elapsed() >= 2500);
    }

    // Over a connection cap a TLS client is closed without a word: a plaintext answer would only
    // be garbage to it.
    void overTheCapClosesWithoutPlaintext_data()
    {
        QTest::addColumn<QString>("cap");
        QTest::newRow("all connections") << "--max-connections";
        QTest::newRow("one address") << "--max-connections-per-address";
    }
    void overTheCapClosesWithoutPlaintext()
    {
        QFETCH(QString, cap);
        auto server = startServer("gate-server", true, {cap, "2"});
        QVERIFY2(server->port(), qPrintable(server->errorText()));
        std::vector<std::unique_ptr<QSslSocket>> inside;
        for (int i = 0; i < 2; ++i) {
            inside.push_back(std::make_unique<QSslSocket>());
            inside.back()->setPeerVerifyMode(QSslSocket::VerifyNone);
            inside.back()->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->port());
            QVERIFY(inside.back()->waitForEncrypted(10000));
        }
        QTcpSocket extra;
        extra.connectToHost(QHostAddress::LocalHost, server->port());
        QVERIFY(extra.waitForConnected(5000));
        QElapsedTimer clock;
        clock.start();
        QByteArray received;
        while (extra.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 5000) {
            extra.waitForReadyRead(100);
            received += extra.readAll();
        }
        received += extra.readAll();
        QCOMPARE(received, QByteArray());
        QCOMPARE(extra.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(clock.elapsed() < 2000, "closed by the handshake deadline, not at once");
    }

    // A browser that reached the dashboard over HTTPS keeps to HTTPS.
    void dashboardSetsStrictTransportSecurity()
    {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_trusted->port());
        QVERIFY(socket.waitForEncrypted(10000));
        socket.write("GET /dashboard/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(10000))
            answer += socket.readAll();
        answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());
        QVERIFY(answer.contains("\r\nStrict-Transport-Security: max-age=31536000\r\n"));
    }

    // The server refuses to start, with a reason, rather than serve with files it cannot use.
    void serverRefusesUnusableTlsFiles_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing certificate file")
            << QStringList{"--tls-cert", "nowhere.pem", "--tls-key", "gate-server.key"}
            << "cannot read the TLS certificate file";
        QTest::newRow("certificate file holds no certificate")
            << QStringList{"--tls-cert", "gate-server.key", "--tls-key", "gate-server.key"}
            << "no PEM certificate";
        QTest::newRow("key file holds no key")
            << QStringList{"--tls-cert", "gate-server.pem", "--tls-key", "gate-server.pem"}
            << "no unencrypted PEM private key";
        QTest::newRow("key of another certificate")
            << QStringList{"--tls-cert", "gate-server.pem", "--tls-key", "stranger-server.key"}
            << "does not serve the certificate";
        QTest::newRow("certificate without key") << QStringList{"--tls-cert", "gate-server.pem"}
                                                 << "--tls-cert and --tls-key go together";
    }
    void serverRefusesUnusableTlsFiles()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, reason);
        const CliResult r = runCli(
            QStringList{"serve", "--constant-answer", "--port", "0"} + options, m_dir.path());
        const QString &errors = r.err;
        QVERIFY2(r.exitCode != 0, qPrintable(errors));
        QVERIFY2(errors.contains(reason), qPrintable(errors));
        QVERIFY2(!errors.contains(u"listening"), qPrintable(errors));
    }
};

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
