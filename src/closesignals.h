#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (a log-out, kill, Ctrl+C in a terminal) become a
// close request on the GUI thread, so the program ends the way closing the
// window ends it: the page saves its work first. One object per process.
class CloseSignals : public QObject
{
    Q_OBJECT

public:
    explicit CloseSignals(QObject *parent = nullptr);
    ~CloseSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    void closeRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
