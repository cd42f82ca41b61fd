// wss:// between the host's client and the simulator on loopback, with certificates made
// for the test by openssl: a certificate the client trusts through a private authority is
// taken; an unknown one, or one made out to another host, is refused, saying so, and the
// client never falls back to an unencrypted connection.

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "jsonrpc/jsonrpcobject.h"
#include "jsonrpc/response.h"
#include "jsonrpc/trust.h"
#include "generator.h"
#include "server.h"
#include "tls.h"

class tst_SecureConnection : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // A self-signed certificate (its own authority) for the names in subjectAltName.
    bool makeCertificate(const QString &name, const QString &altNames)
    {
        QProcess openssl;
        openssl.start("openssl", QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=prio-test -addext").split(' ')
                                         << "subjectAltName=" + altNames << "-keyout" << dir.filePath(name + ".key") << "-out" << dir.filePath(name + ".pem"));
        if (openssl.waitForFinished(30000) && openssl.exitCode() == 0)
            return true;
        qWarning("openssl: %s", openssl.readAllStandardError().constData());
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS here");
        QVERIFY2(makeCertificate("loopback", "IP:127.0.0.1") && makeCertificate("elsewhere", "DNS:elsewhere.example"),
                 "openssl could not make a certificate (scripts/setup.sh installs it)");
    }

    void connections_data()
    {
        QTest::addColumn<QString>("served");  // the certificate the simulator shows
        QTest::addColumn<QString>("trusted"); // the authority the client is given
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("refusal"); // empty: the connection works
        QTest::newRow("private authority") << "loopback" << "loopback" << "wss" << "";
        QTest::newRow("unknown authority") << "loopback" << "" << "wss" << "The certificate of 127.0.0.1 is refused";
        QTest::newRow("made out to another host") << "elsewhere" << "elsewhere" << "wss" << "host name";
        QTest::newRow("ws:// to a wss:// server") << "loopback" << "loopback" << "ws" << "closed";
    }
    void connections()
    {
        QFETCH(QString, served);
        QFETCH(QString, trusted);
        QFETCH(QString, scheme);
        QFETCH(QString, refusal);

        QSslConfiguration serving, trust;
        QString error;
        QVERIFY2(Sim::serverTlsConfiguration(dir.filePath(served + ".pem"), dir.filePath(served + ".key"), &serving, &error), qPrintable(error));
        Sim::GeneratorOptions small;
        small.routes = small.boards = small.detectors = 2;
        Sim::Server server(Sim::generateNetwork(small));
        server.setTickInterval(0);
        server.setTlsConfiguration(serving);
        QVERIFY(server.listen());
        QCOMPARE(server.url().scheme(), "wss");
        QVERIFY2(JsonRpcTrust::configuration(trusted.isEmpty() ? QString() : dir.filePath(trusted + ".pem"), &trust, &error), qPrintable(error));
        JsonRpcObject client;
        client.setSslConfiguration(trust);
        QSignalSpy connected(&client, &JsonRpcObject::connected);
        QSignalSpy failed(&client, &JsonRpcObject::attemptFailed);
        QUrl url = server.url();
        url.setScheme(scheme);
        client.open(url);
        if (refusal.isEmpty()) {
            QTRY_COMPARE(connected.count(), 1);
            auto *answer = qobject_cast<JsonRpcResponse *>(client.postCommand("RoadNetwork.getRouteList", QVariant()));
            QTRY_VERIFY(answer->isFinished());
            QCOMPARE(answer->result().toList().size(), 2);
            return;
        }
        QTRY_COMPARE(failed.count(), 1);
        const QString why = failed.at(0).at(0).toString();
        qInfo("refused: %s", qPrintable(why));
        QVERIFY2(why.contains(refusal, Qt::CaseInsensitive), qPrintable(why));
        QVERIFY(connected.isEmpty() && server.clientCount() == 0 && client.url().scheme() == scheme);
    }
};

QTEST_GUILESS_MAIN(tst_SecureConnection)
#include "tst_secureconnection.moc"
