#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

#include "miscutils.h"

class CURLFtp;

// One short job on an FTP, FTPS or SFTP server for a caller on the GUI thread:
// a connection test, or reading a file. The job runs on a thread of its own
// while the caller waits in a nested event loop, so the window keeps
// painting and answering; the call still returns the job's result. It logs
// in once (no retry), and is ended when it passes an overall deadline, so
// neither a silent server nor one that drips its data can hold it.
class FtpCall
{
public:
    // destination: a destination URL text with stored credentials, as the
    // publish destinations hold it.
    explicit FtpCall(const QString &destination);

    // Logs in once; false with the reason in errorString().
    bool testConnection();

    // Logs in once and reads the files named, relative to the destination's
    // folder, in turn until one holds bytes. True when the server was asked
    // and answered: with the bytes, or with none when it has none of the
    // files (or not their folder). False when it could not be asked or did
    // not answer whole (log-in refused, deadline, cancel, a file refused or
    // above MaxReadSize, a transfer broken off): then nobody knows what is
    // there.
    bool fetch(const QStringList &names, QByteArray *bytes);

    // Ends the running call from the thread that waits for it (a page
    // script run meanwhile): it returns false with "Cancelled.".
    void cancel();

    // Why the last call failed, in words the user can act on; empty after success.
    QString errorString() const { return error; }

    // Ends every call that is waiting, with "Cancelled.": a program that
    // closes must not wait for a server, also where the page cannot run its
    // close (a call made from a page timer holds the page's timers). GUI thread.
    static void cancelAll();

    // The overall deadline in milliseconds: 60 s, or QUILLARY_FTP_DEADLINE_MS
    // when that is smaller (tests make it shorter; see envLimit()).
    static int deadline();

    // A failed log-in or transfer of the client, said plainly: the user name
    // or password refused, no answer, TLS refused; other failures (a changed
    // server identity among them) keep the client's own text.
    static QString failureText(const CURLFtp &client);

private:
    // Runs the job with a fresh client on a worker thread and waits for it.
    bool run(const std::function<bool(CURLFtp &)> &job);

    initData record;
    QString error;
    CURLFtp *running = nullptr;
    bool cancelled = false;
};
