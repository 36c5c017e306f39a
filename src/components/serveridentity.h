#pragma once

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

struct x509_store_ctx_st;

// What the program remembers of the servers it has logged in to, so that a
// server that suddenly shows another identity (a man in the middle) never
// receives the password:
//
// - SSH: the host key of each host and port, in a known-hosts file of the
//   program's own (OpenSSH format). A new host's key is accepted and stored
//   at the first successful log-in; a different key for a known host refuses
//   the connection before any authentication is attempted.
// - TLS (FTPS): a certificate that verifies against the trusted authorities
//   and names the host is accepted, so renewals keep working. Any other
//   certificate has the SHA-256 of its public key pinned at the first
//   successful log-in, per host and port; a different unverified key then
//   refuses the connection before the log-in is sent.
//
// Both files live in the program's data folder, readable by the user only.
// One object serves one client (one libcurl handle) on one thread at a time;
// the files are shared by every client and guarded by a lock.
//
// QUILLARY_CA_FILE, when set, names the file of authorities TLS certificates
// are checked against instead of the system's (for tests).
class ServerIdentity
{
public:
    ServerIdentity() = default;
    ServerIdentity(const ServerIdentity &) = delete;
    ServerIdentity &operator=(const ServerIdentity &) = delete;

    // Sets the checks for a connection to scheme://host:port on the handle:
    // host-key checks for "sftp", certificate checks for "ftps", none for
    // other schemes. False when the library cannot check the identity; the
    // handle then refuses unverified certificates outright.
    bool apply(CURL *curl, const QString &scheme, const QString &host, int port);

    // Clears the refusal of the previous transfer.
    void startTransfer();
    // The text explaining why the last transfer's server was refused for its
    // identity; empty when it was not.
    QString refusal() const { return refused; }
    // Remembers the identity seen during a successful log-in, when the
    // server was not known yet. False when it could not be stored.
    bool commit();

    // Forgets what is remembered of the server; true when nothing is left
    // remembered of it (also when nothing was).
    static bool forget(const QString &scheme, const QString &host, int port);

    static QString knownHostsPath();
    static QString pinsPath();

    // "host:port", with an IPv6 address in brackets: how texts name servers.
    static QString serverName(const QString &host, int port);

private:
    static int sshKeyCheck(CURL *curl, const curl_khkey *known, const curl_khkey *found, curl_khmatch match,
                           void *user);
    static CURLcode sslContext(CURL *curl, void *context, void *user);
    static int verifyCertificate(x509_store_ctx_st *context, void *user);

    int checkSshKey(const QByteArray &key);
    bool checkPublicKey(const QByteArray &pin);

    QString scheme;
    QString host;
    int port = -1;
    // The identity first seen in this connection, stored by commit().
    QByteArray pendingSshKey;
    QByteArray pendingPin;
    QString refused;
};
