// Publishing: destinations as the user writes them, and their forms without password.
(function () {
    'use strict';
    var A = window.qlrApp;
    var P = A.publishing;

    var DEFAULT_PORTS = P.DEFAULT_PORTS = { ftp: '21', ftps: '21', sftp: '22' };

    A.parseLocation = function (text) {
        var m = /^([a-zA-Z][a-zA-Z0-9+.-]*):\/\/(.*)$/.exec(String(text || ''));
        if (!m)
            return null;
        var rest = m[2];
        var at = rest.lastIndexOf('@');
        var cred = at >= 0 ? rest.slice(0, at) : '';
        var hostPart = at >= 0 ? rest.slice(at + 1) : rest;
        var slash = hostPart.indexOf('/');
        var path = slash >= 0 ? hostPart.slice(slash + 1) : '';
        if (slash >= 0)
            hostPart = hostPart.slice(0, slash);
        var colon = cred.indexOf(':');
        var portAt = hostPart.lastIndexOf(':');
        return {
            scheme: m[1].toLowerCase(),
            user: colon >= 0 ? cred.slice(0, colon) : cred,
            pass: colon >= 0 ? cred.slice(colon + 1) : '',
            host: portAt >= 0 ? hostPart.slice(0, portAt) : hostPart,
            port: portAt >= 0 ? hostPart.slice(portAt + 1) : '',
            path: path
        };
    };

    P.locationText = function (loc) {
        return loc.scheme + '://' + loc.user + ':' + loc.pass + '@' + loc.host + ':' +
               (loc.port || DEFAULT_PORTS[loc.scheme] || '21');
    };

    // How messages name the server of a location: "the server ftp.example.com:21".
    P.serverName = function (loc) {
        var host = String(loc.host || '');
        // An IPv6 address is written in brackets, so its port stands apart.
        if (host.indexOf(':') >= 0 && host.charAt(0) !== '[')
            host = '[' + host + ']';
        return 'the server ' + host + ':' + (loc.port || DEFAULT_PORTS[loc.scheme] || '21');
    };

    A.destinationUrl = function (loc, folder) {
        return P.locationText(loc) + '/' + String(folder || '').replace(/^\/+/, '');
    };

    // What is wrong with a server location's host and port before anything
    // connects; empty when nothing is. A host with spaces, a scheme or a folder
    // in it would reach the network library as a malformed address.
    P.hostProblem = function (loc) {
        var host = String(loc.host || '');
        if (!host)
            return 'Fill in the host: the name or address of the server, such as ftp.example.com.';
        var label = '[0-9A-Za-z\u00a1-\uffff]([0-9A-Za-z\u00a1-\uffff-]{0,61}[0-9A-Za-z\u00a1-\uffff])?';
        var name = new RegExp('^' + label + '(\\.' + label + ')*\\.?$').test(host) && host.length <= 253;
        var ipv6 = /^\[?[0-9A-Fa-f:.]+\]?$/.test(host) && host.indexOf(':') >= 0;
        if (!name && !ipv6) {
            return 'The host "' + host + '" is not a server name or address. Write only the name, such as ' +
                   'ftp.example.com, or the address, such as 192.0.2.10: no "ftp://" before it, no port, folder or ' +
                   'spaces in it.';
        }
        var port = String(loc.port || '');
        if (port && !(/^\d{1,5}$/.test(port) && +port >= 1 && +port <= 65535))
            return 'The port "' + port + '" is not a number from 1 to 65535.';
        return '';
    };

    // The form of a destination that may be shown or handed on: no password.
    A.withoutPassword = function (url) {
        var text = String(url || '');
        if (/^file:/i.test(text))
            return text;
        var loc = A.parseLocation(text);
        if (!loc)
            return text;
        return loc.scheme + '://' + (loc.user ? loc.user + '@' : '') + loc.host +
               (loc.port ? ':' + loc.port : '') + '/' + loc.path;
    };

    A.indexUrl = function (url) {
        return A.withoutPassword(url).replace(/\/+$/, '') + '/index.html';
    };

    P.shownLocation = function (text) {
        return A.withoutPassword(text).replace(/\/$/, '');
    };
})();
