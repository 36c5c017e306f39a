#pragma once

#include <QString>
#include <QUrl>

class QTextCodec;

// A publish destination as the file managers see it.
struct initData
{
    qint32 type = 0;   // 0: a local folder, 1: a remote server
    QUrl url;          // remote only: credentials encrypted, cut before the last "/"
    QString path;      // remote: the decoded URL path; local: the folder path
};

// Locations: file URLs, resource paths, local paths and destination records.
QString urlToLocalPath(const QString &url);
QString localPathToUrl(const QString &path);
initData url2data(const QString &url);
QString data2url(const initData &data);
QString encodeUrlCredentials(const QString &url);
// A destination text fit for a log line: the user information is masked.
QString maskUrlCredentials(const QString &url);
// A user name or password as a stored location keeps it (Base64 of the
// cipher's text), back in plain text.
QString decodeCredential(const QString &stored);
// A server as messages and URLs name it: an IPv6 literal in brackets, then
// ":port" when a port is given ("[::1]:21", "example.com").
QString hostText(const QString &host, int port = -1);
// The schemes of the remote destinations: ftp, ftps and sftp.
bool isRemoteScheme(const QString &scheme);

// Text files and folders.

// Files and fetched bytes handed to scripts whole (a text, Base64, a file read
// back from a destination) are refused above this: one string must hold them.
constexpr qint64 MaxReadSize = qint64(512) << 20;

bool saveText(const QString &path, const QString &text, const QString &codec);
QString loadText(const QString &path, const QString &codec);
// Copies the folder's content into the destination folder. False when the
// destination cannot be made (or lies inside the source) or any file or folder
// failed; links that lead out of the source folder are not followed.
bool copyDir(const QString &source, const QString &destination, bool overwrite);
// Copies one file in pieces (any size, little memory) into a new file of the
// user's with the source's permission bits under the umask, replacing the
// target only once the copy is whole.
bool copyFileData(const QString &source, const QString &target);
// Only plain files (and those of the resource bundle): a pipe or a device such
// as /dev/zero would block the window or never end.
bool isPlainFile(const QString &path);
// The whole file's bytes; false for what isPlainFile refuses and when not every
// byte arrived (a read error, or a file too large for one array).
bool readPlainFile(const QString &path, QByteArray *bytes);

bool removeDir(const QString &path);
QTextCodec *detectCodec(const QByteArray &bytes);
bool fileExists(const QString &pathOrUrl);
QByteArray textToBytes(const QString &text, const QString &codec);
QString appDirPath();
