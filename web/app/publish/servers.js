// Publishing: the list of servers in the publish dialog, with a connection test.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp, $ = A.$;
    var P = A.publishing;

    var NEW_SITE = 'ftp://:@:21';

    var ftpItems = [];
    var ftpSelected = -1;

    function exportedFtp() {
        var data = {};
        B.regExportData(function (d) { data = d || {}; });
        return data.ftpData || {};
    }

    function storedLocations() {
        return (exportedFtp().location || []).map(String);
    }

    // What Cancel gives back: the stored list as the dialog found it, less the sites
    // the user removed (a removal is asked for and confirmed on its own). `origin`
    // maps each stored position to its entry in `target`; -1 marks a site added since.
    var siteUndo = null;

    P.beginSiteChanges = function () {
        var list = storedLocations();
        var publishPath = null;
        B.getSettings('PublishSettings/PublishPath', function (v) { publishPath = v; });
        siteUndo = { target: list, origin: list.map(function (text, i) { return i; }), publishPath: publishPath };
    };

    function noteSiteAdded() {
        // The host keeps a limited number of sites: the oldest may have dropped off.
        if (siteUndo)
            siteUndo.origin = [-1].concat(siteUndo.origin).slice(0, storedLocations().length);
    }

    function noteSiteRemoved(index, confirmed) {
        if (!siteUndo)
            return;
        var was = siteUndo.origin.splice(index, 1)[0];
        if (confirmed && was >= 0) {
            siteUndo.target.splice(was, 1);
            siteUndo.origin = siteUndo.origin.map(function (o) { return o > was ? o - 1 : o; });
        }
    }

    // Puts the stored list back as Cancel promises, through the host's own slots: edits
    // first, then the sites that go, each made blank before it is removed, so that no
    // server identity is forgotten on the way (the host forgets on a removal).
    P.undoSiteChanges = function () {
        var u = siteUndo;
        siteUndo = null;
        if (!u)
            return;
        var now = storedLocations();
        for (var grown = 0; now.length < u.target.length && grown < u.target.length; grown++) {
            B.regAddFtp({ location: NEW_SITE, folder: u.publishPath === null ? '' : String(u.publishPath) });
            now = storedLocations();
        }
        u.target.forEach(function (text, i) {
            if (now[i] !== text)
                B.regUpdateFtp(i, text);
        });
        for (var i = now.length - 1; i >= u.target.length; i--) {
            if (now[i] !== NEW_SITE)
                B.regUpdateFtp(i, NEW_SITE);
            B.regUpdateFtp(i, '');
        }
        var publishPath = null;
        B.getSettings('PublishSettings/PublishPath', function (v) { publishPath = v; });
        if (u.publishPath !== null && String(publishPath) !== String(u.publishPath))
            B.setSettings('PublishSettings/PublishPath', u.publishPath);
    };

    function loadFtpSites(selectShown) {
        var ftp = exportedFtp();
        var seen = {};
        ftpItems = [];
        (ftp.location || []).forEach(function (text, index) {
            var shown = A.withoutPassword(text);
            if (seen[shown])
                return;
            seen[shown] = true;
            ftpItems.push({ index: index, text: String(text) });
        });
        var at = -1;
        ftpItems.forEach(function (item, i) {
            if (selectShown !== undefined && at < 0 &&
                    (item.text === selectShown || P.shownLocation(item.text) === P.shownLocation(selectShown)))
                at = i;
        });
        // null: no entry chosen yet.
        if (at < 0 && selectShown !== null)
            at = Math.min(Math.max(ftpSelected, 0), ftpItems.length - 1);
        selectFtp(at);
        return ftp;
    }

    function siteLabel(item) {
        var loc = A.parseLocation(item.text);
        if (!loc || !loc.host)
            return 'New site';
        return A.withoutPassword(P.locationText(loc)).replace(/\/$/, '');
    }

    // Redrawn as a field is left: the entries stay, so a click on one still selects it.
    function renderFtpList() {
        A.fillList($('#ftp-list'), ftpItems.length, {
            current: ftpSelected,
            selectOnMove: true,
            empty: 'No sites yet: add one',
            activate: selectFtp,
            draw: function (li, i) { A.setEntryText(li, siteLabel(ftpItems[i]), true); }
        });
    }

    function ftpNote(text) {
        $('#ftp-note').textContent = text || '';
        A.show($('#ftp-note'), !!text);
    }

    function selectFtp(i) {
        ftpSelected = i;
        P.cancelTest('');
        var item = ftpItems[i];
        var loc = item ? A.parseLocation(item.text) : null;
        loc = loc || { scheme: 'ftp', host: '', port: '', user: '', pass: '' };
        $('#ftp-scheme').value = P.DEFAULT_PORTS[loc.scheme] ? loc.scheme : 'ftp';
        $('#ftp-host').value = loc.host;
        $('#ftp-port').value = loc.port;
        $('#ftp-user').value = loc.user;
        $('#ftp-pass').value = loc.pass;
        $('#ftp-test-result').textContent = '';
        A.show($('#ftp-test-detail'), false);
        // Before a site exists there is nothing to type into: the fields say so.
        ['#ftp-scheme', '#ftp-host', '#ftp-port', '#ftp-user', '#ftp-pass', '#ftp-folder', '#btn-ftp-test',
         '#btn-ftp-remove'].forEach(function (s) { $(s).disabled = !item; });
        $('#ftp-form').className = 'form' + (item ? '' : ' off');
        showSiteFolder(item);
        schemeHints();
        renderFtpList();
    }

    // Only FTPS and SFTP servers have an identity to forget; plain FTP says that its
    // password travels as it is.
    function schemeHints() {
        var item = ftpItems[ftpSelected];
        var scheme = $('#ftp-scheme').value;
        var canForget = !!(B.canForgetFtpIdentity && B.canForgetFtpIdentity()) && scheme !== 'ftp';
        A.show($('#btn-ftp-forget'), canForget);
        $('#btn-ftp-forget').disabled = !canForget || !item || !P.formLocation().host;
        A.show($('#ftp-plain-note'), !!item && scheme === 'ftp');
    }

    P.formLocation = function () {
        return {
            scheme: $('#ftp-scheme').value,
            host: $('#ftp-host').value.trim(),
            port: $('#ftp-port').value.trim(),
            user: $('#ftp-user').value,
            pass: $('#ftp-pass').value
        };
    };

    function ftpEdited() {
        var item = ftpItems[ftpSelected];
        if (!item)
            return;
        var text = P.locationText(P.formLocation());
        var shown = A.withoutPassword(text);
        var twin = ftpItems.filter(function (other) {
            return other !== item && A.withoutPassword(other.text) === shown;
        })[0];
        if (twin) {
            // The list shows one entry per server and user: the one already there takes
            // the new details, and this one goes, instead of hiding behind it. It takes
            // the new details first, so its removal leaves every identity in place.
            B.regUpdateFtp(twin.index, text);
            B.regUpdateFtp(item.index, text);
            B.regUpdateFtp(item.index, '');
            noteSiteRemoved(item.index, false);
            loadFtpSites(text);
            ftpNote(P.shownLocation(text) + ' was already in the list: its entry now has these details.');
            return;
        }
        // The stored position of the site, not its place in the shown list.
        B.regUpdateFtp(item.index, text);
        item.text = text;
        schemeHints();
        renderFtpList();
    }

    var testToken = 0;
    // The host is waiting for the server's answer to a test.
    var testWaiting = false;

    P.cancelTest = function (text) {
        testToken++;
        // The host's call ends too, and with it the connection to the server.
        if (testWaiting && B.cancelFtpCall)
            B.cancelFtpCall();
        A.show($('#btn-ftp-test-cancel'), false);
        $('#btn-ftp-test').disabled = !ftpItems[ftpSelected];
        if (text !== undefined && text !== '') {
            var result = $('#ftp-test-result');
            result.className = 'muted';
            result.textContent = text;
        }
    };

    function testConnection() {
        var item = ftpItems[ftpSelected];
        if (!item)
            return;
        var token = ++testToken;
        var result = $('#ftp-test-result');
        var detail = $('#ftp-test-detail');
        var loc = P.formLocation();
        // Nothing to connect to: say so before anything connects.
        var wrongHost = P.hostProblem(loc);
        if (wrongHost) {
            result.className = 'problem';
            result.textContent = 'Not tested';
            detail.textContent = wrongHost;
            A.show(detail, true);
            return;
        }
        result.className = 'muted';
        result.textContent = 'Testing…';
        A.show(detail, false);
        A.show($('#btn-ftp-test-cancel'), true);
        $('#btn-ftp-test').disabled = true;
        var dest = A.destinationUrl(loc, $('#ftp-folder').value);
        var server = P.serverName(loc);
        var identityBefore = P.rememberedIdentity(dest);
        // The test may block the window; let the text show first. A result that comes
        // after a cancel is not shown.
        setTimeout(function () {
            if (token !== testToken)
                return;
            testWaiting = true;
            B.testFtpLocation(dest, function (ok) {
                testWaiting = false;
                if (token !== testToken)
                    return;
                A.show($('#btn-ftp-test-cancel'), false);
                $('#btn-ftp-test').disabled = false;
                result.className = ok ? 'ok' : 'problem';
                result.textContent = ok ? 'Connection succeeded' : 'Connection failed';
                if (ok) {
                    var identity = P.rememberedIdentity(dest);
                    detail.textContent = !identityBefore && identity ? P.learntIdentityText(server, identity) : '';
                    A.show(detail, !!detail.textContent);
                } else {
                    var reason = '';
                    if (B.lastError)
                        B.lastError(function (t) { reason = t; });
                    var explained = reason ? A.explainError(reason, server, '', 'test') : null;
                    detail.textContent = explained ? explained.plain + (explained.note ? ' (' + explained.note + ')' : '') :
                                                     'No reason was given. Check the host, port, user name and password.';
                    A.show(detail, true);
                }
                A.refocusModal($('#publish-dialog'));
            });
        }, 30);
    }

    P.dialogSite = null;      // { rec, drafts }: this site's folders, as the open dialog shows them

    // The folder of a server entry is this site's own: typed in this dialog, or
    // the one it published to there; empty when it has none.
    function showSiteFolder(item) {
        var shown = item ? P.shownLocation(item.text) : '';
        var value = '';
        if (item && P.dialogSite) {
            value = Object.prototype.hasOwnProperty.call(P.dialogSite.drafts, shown) ? P.dialogSite.drafts[shown] :
                    P.siteFolderOn(P.dialogSite.rec, shown);
        }
        $('#ftp-folder').value = value;
        // A server chosen answers "choose a server".
        if (item)
            A.show($('#publish-problem'), false);
    }

    function folderTyped() {
        var item = ftpItems[ftpSelected];
        if (item && P.dialogSite)
            P.dialogSite.drafts[P.shownLocation(item.text)] = $('#ftp-folder').value;
    }

    // Fills the list as the dialog opens, with the server this site used last
    // chosen; none when that server is no longer in the list.
    P.showServers = function (server) {
        loadFtpSites(server);
        ftpNote('');
        if (server && !ftpItems.some(function (item) { return P.shownLocation(item.text) === P.shownLocation(server); }))
            selectFtp(-1);
    };

    // The chosen server entry as its fields stand, or null: Enter in a field
    // confirms before the field reported its change.
    P.chosenServer = function () {
        var item = ftpItems[ftpSelected];
        if (item && P.locationText(P.formLocation()) !== item.text) {
            ftpEdited();
            item = ftpItems[ftpSelected];
        }
        return item || null;
    };

    A.on('load', function () {
        $('#btn-ftp-add').addEventListener('click', function () {
            var exists = ftpItems.some(function (item) { return item.text === NEW_SITE; });
            if (!exists) {
                B.regAddFtp({ location: NEW_SITE, folder: $('#ftp-folder').value });
                noteSiteAdded();
            }
            loadFtpSites(NEW_SITE);
            ftpNote('');
            $('#ftp-host').focus();
        });
        $('#btn-ftp-remove').addEventListener('click', function () {
            var item = ftpItems[ftpSelected];
            if (!item)
                return;
            A.confirm({
                title: 'Remove this server?',
                text: 'Remove ' + siteLabel(item) + ' and its saved password from the list of servers?',
                yes: 'Remove',
                no: 'Keep',
                safeDefault: true
            }, function () {
                B.regUpdateFtp(item.index, '');
                noteSiteRemoved(item.index, true);
                loadFtpSites();
                ftpNote('');
            });
        });
        $('#btn-ftp-forget').addEventListener('click', function () {
            var item = ftpItems[ftpSelected];
            if (!item || !B.canForgetFtpIdentity || !B.canForgetFtpIdentity())
                return;
            var loc = P.formLocation();
            // What is remembered, to compare with what the host publishes.
            var known = P.rememberedIdentity(P.locationText(loc));
            A.confirm({
                title: 'Forget the server\'s identity?',
                text: 'Do this only when you know ' + siteLabel(item) + ' was reinstalled or moved. The next ' +
                      'connection trusts the identity the server shows then.' +
                      (known ? ' Remembered identity: ' + known + '.' : ''),
                yes: 'Forget identity',
                no: 'Cancel',
                safeDefault: true
            }, function () {
                var ok = B.forgetFtpIdentity(P.locationText(loc));
                ftpNote(ok ? 'The identity of ' + siteLabel(item) + ' was forgotten; the next connection learns it again.' :
                             'The identity of ' + siteLabel(item) + ' could not be forgotten.');
            });
        });
        ['#ftp-host', '#ftp-port', '#ftp-user', '#ftp-pass'].forEach(function (s) {
            $(s).addEventListener('change', ftpEdited);
        });
        $('#ftp-scheme').addEventListener('change', function () {
            var port = $('#ftp-port').value.trim();
            var scheme = $('#ftp-scheme').value;
            var known = Object.keys(P.DEFAULT_PORTS).some(function (k) { return P.DEFAULT_PORTS[k] === port; });
            if (!port || known)
                $('#ftp-port').value = scheme === 'ftps' && port === '990' ? '990' : P.DEFAULT_PORTS[scheme];
            ftpEdited();
        });
        $('#ftp-folder').addEventListener('keyup', function () { B.regSetFtpFolder($('#ftp-folder').value); });
        $('#ftp-folder').addEventListener('input', folderTyped);
        $('#btn-ftp-test').addEventListener('click', testConnection);
        $('#btn-ftp-test-cancel').addEventListener('click', function () {
            P.cancelTest('Test cancelled');
            $('#btn-ftp-test').focus();
        });
    });
})();
