#pragma once

// Collects the messages Qt's message log receives while it lives, so a test
// can check what a call wrote (and that it wrote no password).

#include <QString>
#include <QStringList>
#include <QtGlobal>

class MessageLog
{
public:
    // Collects messages of `type` and worse; QtDebugMsg collects everything.
    explicit MessageLog(QtMsgType type = QtDebugMsg)
    {
        state().lowest = type;
        state().messages.clear();
        m_previous = qInstallMessageHandler(handler);
    }
    ~MessageLog() { qInstallMessageHandler(m_previous); }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QStringList messages() const { return state().messages; }

private:
    struct State
    {
        QtMsgType lowest = QtDebugMsg;
        QStringList messages;
    };
    static State &state()
    {
        static State s;
        return s;
    }
    static int rank(QtMsgType type)
    {
        switch (type) {
        case QtDebugMsg: return 0;
        case QtInfoMsg: return 1;
        case QtWarningMsg: return 2;
        case QtCriticalMsg: return 3;
        case QtFatalMsg: return 4;
        }
        return 0;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (rank(type) >= rank(state().lowest))
            state().messages.append(text);
    }

    QtMessageHandler m_previous;
};
