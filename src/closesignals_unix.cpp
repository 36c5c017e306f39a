#include "closesignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the self-pipe: a signal handler may do little more than
// write one byte; the GUI thread reads it through the notifier.
int signalPipe[2] = { -1, -1 };
const int handled[] = { SIGTERM, SIGINT, SIGHUP };

extern "C" void onCloseSignal(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

CloseSignals::CloseSignals(QObject *parent)
    : QObject(parent)
{
    if (signalPipe[0] >= 0) {
        qWarning() << "close signals are already handled";
        return;
    }
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning() << "no pipe for close signals";
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CloseSignals::readSignal);
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : handled)
        ::sigaction(signalNumber, &action, nullptr);
}

CloseSignals::~CloseSignals()
{
    if (!m_notifier)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : handled)
        ::sigaction(signalNumber, &action, nullptr);
    delete m_notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void CloseSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        qDebug() << "signal" << int(byte) << "received: closing";
        emit closeRequested(int(byte));
    }
}
