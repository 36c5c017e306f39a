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
//   the connection before any authentication is attempted. The library never
//   reads that file: the key is handed to us and checked here.
// - TLS (FTPS): one entry per host and port in tls_pins. A server whose
//   certificate a trusted authority vouches for (and that names the host) is
//   remembered as such ("authority"): renewals keep working, but a certificate
//   no authority vouches for is refused there from then on. Any other
//   certificate has the SHA-256 of its public key pinned ("sha256//...") at
//   the first successful log-in; a different unvouched key then refuses the
//   connection before the log-in is sent.
//
// Both files live in the program's data folder, readable by the user only,
// and are trusted only as regular files of the user's that no one else may
// change, within their size limit and in their own format. A file that is
// anything else refuses every connection that needs it, with a text naming
// it, and is never rewritten. Writes are whole or not at all; an identity
// that could not be stored fails the log-in that relied on it.
// One object serves one client (one libcurl handle) on one thread at a time;
// the files are shared by every client and program instance and guarded by a
// lock.
class ServerIdentity
{
public:
    ServerIdentity() = default;
    ServerIdentity(const ServerIdentity &) = delete;
    ServerIdentity &operator=(const ServerIdentity &) = delete;

    // Sets the checks for a connection to scheme://host:port on the handle:
    // host-key checks for "sftp", certificate checks for "ftps", none for
    // other schemes. False when the library cannot check the identity; the
    // handle then refuses the server outright.
    bool apply(CURL *curl, const QString &scheme, const QString &host, int port);

    // Clears the refusal of the previous transfer.
    void startTransfer();
    // After an SFTP connection failed before the server showed a host key
    // (the library found no key type in common with it): asks the server
    // which key types it offers and, when it no longer offers the type
    // remembered for it, refuses it as a changed identity; when it offers
    // only types the library cannot check, says so.
    void explainFailedHandshake();
    // The text explaining why the last transfer's server was refused for its
    // identity (or because its store could not be used); empty when it was not.
    QString refusal() const { return refused; }
    // Remembers the identity seen during a successful log-in, when the
    // server was not known yet. The store is read again under its lock: when
    // another identity was remembered for the server meanwhile, or the store
    // cannot be written, this is false and refusal() says why.
    bool commit();

    // Forgets what is remembered of the server; true when nothing is left
    // remembered of it (also when nothing was). False, with the store as it
    // was, when the store cannot be read or written.
    static bool forget(const QString &scheme, const QString &host, int port);

    // What is remembered of the server, as a person compares it: for "sftp"
    // the host key's fingerprint as ssh shows it ("SHA256:..."), for "ftps"
    // the entry as tls_pins keeps it ("sha256//..." for a pinned public key,
    // "authority" for a server a trusted authority vouched for). Empty when
    // nothing is remembered or the store cannot be used.
    static QString rememberedFingerprint(const QString &scheme, const QString &host, int port);

    static QString knownHostsPath();
    static QString pinsPath();

    // "host:port", with an IPv6 address in brackets: how texts name servers.
    static QString serverName(const QString &host, int port);

    // For tests only, never called by the program: certificates signed by the
    // authorities in this PEM file count as vouched for, besides the system's
    // authorities. An empty path removes them again.
    static void setExtraAuthorityForTests(const QString &pemPath);

private:
    static int sshHostKey(void *user, int keyType, const char *key, size_t length);
    static CURLcode sslContext(CURL *curl, void *context, void *user);
    static int verifyCertificate(x509_store_ctx_st *context, void *user);

    bool checkSshKey(const QByteArray &key);
    bool checkCertificate(bool vouched, const QByteArray &pin);
    // Refuses the server for its identity: the text, also to the log.
    void refuse(const QString &text);

    QString scheme;
    QString host;
    int port = -1;
    // The identity first seen in this connection, stored by commit(), and
    // what the store held for the server when it was checked.
    QByteArray pending;
    QByteArray seen;
    QString refused;
    // The server showed its SSH host key during the current transfer.
    bool keyShown = false;
};
