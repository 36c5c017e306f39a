// Publishing: the host's error texts in words that say what to do.
(function () {
    'use strict';
    var A = window.qlrApp;
    var P = A.publishing;

    P.oneLine = function (text) {
        return String(text === undefined || text === null ? '' : text)
            .replace(/<br\s*\/?>/gi, ' ').replace(/\s+/g, ' ').trim();
    };

    // The host's error texts are a message and, after "<br>", the path it was about;
    // the page names the file itself, so only the message counts.
    function hostMessage(text) {
        var t = String(text === undefined || text === null ? '' : text);
        var cut = t.search(/<br\s*\/?>/i);
        return P.oneLine(cut >= 0 ? t.slice(0, cut) : t);
    }

    // The host's error texts come from its file managers; the known ones get words
    // that say what to do. `fatal` errors stop every later file the same way.
    // `action` is what was being done: 'test' for a connection test, else a publish.
    // The result's `note` is what may follow the words: the server's own reply, or
    // the host's technical text when the words are only general; empty otherwise.
    A.explainError = function (text, server, file, action) {
        var t = hostMessage(text);
        var where = server || 'the destination';
        var testing = action === 'test';
        var what = file && !testing ? ' ' + file : '';
        var again = testing ? 'test again' : 'publish again';
        // [match, kind, fatal, reason, advice]
        var rules = [
            [/identity/i, 'identity', true,
             'The identity of ' + where + ' has changed since the last connection.',
             'This happens when a server is reinstalled or moved, but also when someone intercepts the connection. ' +
             'If you know the server changed, use "Forget server identity" in the site manager; otherwise ask your ' +
             'host before publishing.'],
            [/not accepted and we failed to login|login denied|login incorrect|authentication fail|No such user|refused the user name or password|\b530\b/i,
             'login', true,
             where + ' did not accept the user name or password.', 'Check them in the site manager and ' + again + '.'],
            [/SSL level failed|connecting with SSL|\bTLS\b/i, 'tls', true,
             where + ' refused the secure (TLS) connection.',
             'If your host offers no FTPS, choose FTP or SFTP; otherwise check the port.'],
            [/Could not resolve host|server name is unknown/i, 'nohost', true,
             'The server name of ' + where + ' could not be found.', 'Check the host name and that you are online.'],
            [/Could not connect|timeout time was reached|timed out|Failure in receiving network data|Failed sending network data|Socket is not ready|No connection available|stalled|not answer|No answer|No complete answer/i,
             'noanswer', false,
             'No answer from ' + where + '.', 'Check the host and port and that you are online, then try again.'],
            [/Permission problem|Remote access denied|Quote command failure|Can't create path|Can't create file|Permission denied/i,
             'permission', false,
             testing ? 'Permission problem: ' + where + ' refused access.' :
                       'Permission problem: ' + where + ' refused to store' + (what || ' the file') + '.',
             'Check the folder and your rights to write there.'],
            [/Out of disk space|No space left/i, 'space', false, where + ' is out of disk space.', ''],
            [/Error writing to file|Write error|partial file/i, 'write', false,
             'Writing' + (what || ' the file') + ' to ' + where + ' failed part way.', ''],
            [/File not exists|Error open file|Can't read source file|could not generate/i, 'source', false,
             'A file of the site could not be read' + (what ? ' for' + what : '') + '.', ''],
            [/previous publishing run|run is still open/i, 'busy', true,
             'An earlier publishing run was still open; it has been stopped.', 'Publish again.'],
            [/Can't publish to this destination|No destination|Not an FTP, FTPS or SFTP address/i, 'destination', true,
             'This destination cannot be published to.', 'Choose another folder or server.']
        ];
        var short = {
            identity: 'server identity changed', login: 'user name or password not accepted', tls: 'TLS refused',
            nohost: 'server name not found', noanswer: 'no answer from the server', permission: 'permission problem',
            space: 'out of disk space', write: 'writing broke off', source: 'could not be read',
            busy: 'an earlier run was still open', destination: 'destination refused'
        };
        function capital(s) {
            return s.charAt(0).toUpperCase() + s.slice(1);
        }
        // An FTP reply as the server wrote it starts with its three-digit code.
        var said = /^[1-5]\d\d[ -]\S/.test(t);
        // A whole sentence of the host's own (a refused identity, "No answer from
        // 127.0.0.1:21: the connection was refused ...") already names the reason.
        var sentence = !said && /^[A-Z0-9].{15,}[.!]$/.test(t);
        var note = said ? 'The server said: ' + t : '';
        // The host's sentences for these say what failed, not what to do.
        var ADVISE_AFTER_HOST = { login: true, tls: true, nohost: true, noanswer: true };
        for (var i = 0; i < rules.length; i++) {
            var r = rules[i];
            if (!r[0].test(t))
                continue;
            var plain;
            if (sentence)
                plain = ADVISE_AFTER_HOST[r[1]] ? t + ' ' + r[4] : t;
            else
                plain = capital(r[3]) + (r[4] ? ' ' + r[4] : '');
            return { kind: r[1], fatal: r[2], plain: plain, detail: t, note: note, said: said, short: short[r[1]] };
        }
        var failed = testing ? 'The connection to ' + where + ' failed.' :
                               'Sending' + (what || ' a file') + ' to ' + where + ' failed.';
        if (sentence)
            failed = t;
        else if (!t)
            failed += ' No reason was given.';
        else if (!said)
            note = 'Details: ' + t;
        return { kind: 'other', fatal: false, plain: capital(failed), detail: t, note: note, said: said,
                 short: t.length > 90 ? t.slice(0, 88) + '…' : (t || 'failed') };
    };

    P.plural = function (n, one, many) {
        return n + ' ' + (n === 1 ? one : many);
    };
})();
