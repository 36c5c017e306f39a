#pragma once

#include <QString>
#include <QStringList>

// The host key types an SSH server offers, from the first key exchange
// message it sends (RFC 4253, 7.1), read over a connection of its own that
// ends before any key is exchanged: no log-in, nothing but a version line is
// sent. Bounded by timeoutMs and by the bytes a greeting may take, whatever
// the server sends. Empty with the reason in error when it could not be learnt.
QStringList sshOfferedHostKeyTypes(const QString &host, int port, int timeoutMs, QString *error);
