#include "testmain.h"

#include <QSignalSpy>
#include <QTimer>

#include "bridge.h"

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void closeProtocol();
};

void TestBridge::closeProtocol()
{
    Bridge bridge;
    QSignalSpy closes(&bridge, &Bridge::onClose);
    int exitCode = -1;
    QTimer::singleShot(0, &bridge, [&] {
        bridge.prepareToClose();
        bridge.prepareToClose();
        bridge.stopQuit();
        bridge.prepareToClose();
        bridge.prepareToClose();
        QCOMPARE(closes.count(), 4);
        bridge.prepareToClose();   // the third since stopQuit ends the loop
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
    exitCode = QCoreApplication::exec();
    QCOMPARE(exitCode, 0);
    QCOMPARE(closes.count(), 5);
}

QUILLARY_TEST_MAIN(TestBridge)
#include "tst_bridge.moc"
