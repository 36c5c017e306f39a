// Publishing: the publish dialog, from the chosen destination to the start of a run.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp, $ = A.$;
    var P = A.publishing;

    var checkToken = 0;     // the look into a server folder that is still awaited

    function readRecentPublish() {
        var found = [];
        for (var i = 0; i < 1000; i++) {
            var value = '';
            B.getSettings('RecentPublish/' + i, function (v) { value = v; });
            if (!value)
                break;
            found.push(String(value));
        }
        return found;
    }

    function writeRecentPublish(url) {
        var old = readRecentPublish();
        var next = [url].concat(old.filter(function (u) { return u !== url; }));
        next.forEach(function (u, i) { B.setSettings('RecentPublish/' + i, u); });
        for (var i = next.length; i < 1000; i++) {
            var value = '';
            B.getSettings('RecentPublish/' + i, function (v) { value = v; });
            if (!value)
                break;
            B.setSettings('RecentPublish/' + i, '');
        }
    }

    function renderRecentPublish() {
        var urls = readRecentPublish();
        A.fillList($('#recent-publish'), urls.length, {
            current: -1,
            empty: 'No folders yet',
            activate: function (i) { $('#local-folder').value = A.displayPath(urls[i]); },
            draw: function (li, i) {
                li.title = A.displayPath(urls[i]);
                A.setEntryText(li, A.displayPath(urls[i]), true);
            }
        });
    }

    function showPane(id) {
        Array.prototype.forEach.call(document.querySelectorAll('#publish-dialog .tab'), function (tab) {
            var active = tab.getAttribute('data-pane') === id;
            tab.className = 'tab' + (active ? ' active' : '');
            A.show($('#' + tab.getAttribute('data-pane')), active);
        });
        $('#btn-publish-go').disabled = id === 'pane-github';
        A.show($('#publish-problem'), false);
    }

    function currentPane() {
        return $('#publish-dialog .tab.active').getAttribute('data-pane');
    }

    function loadGitHub() {
        var account = '';
        B.getSettings('gitHubLast', function (v) { account = v ? String(v) : ''; });
        $('#gh-account').value = account;
        var token = '';
        if (account) {
            B.getSettings('gitHub/' + account, function (v) { token = v ? String(v) : ''; });
            if (token)
                B.decode(token, function (plain) { token = plain; });
        }
        $('#gh-token').value = token;
        B.getSettings('gitHubLastPath', function (v) { $('#gh-repo').value = v ? String(v) : ''; });
    }

    function saveGitHub() {
        var account = $('#gh-account').value.trim();
        B.setSettings('gitHubLast', account);
        B.setSettings('gitHubLastPath', $('#gh-repo').value.trim());
        if (account)
            B.encode($('#gh-token').value, function (stored) { B.setSettings('gitHub/' + account, stored); });
    }

    function problem(text) {
        A.setBreakableText($('#publish-problem'), text);
        A.show($('#publish-problem'), true);
    }

    // While the server folder is looked into, the dialog says so and Publish waits.
    function showChecking(text) {
        var node = $('#publish-checking');
        node.textContent = text || '';
        A.show(node, !!text);
        $('#btn-publish-go').disabled = !!text || currentPane() === 'pane-github';
        if (!text)
            A.refocusModal($('#publish-dialog'));
    }

    // Cancel and Escape leave the stored sites as the dialog found them.
    function cancelDialog() {
        P.undoSiteChanges();
        closeDialog();
    }

    function closeDialog() {
        P.cancelTest('');
        // An answer still awaited from the server is no longer wanted.
        checkToken++;
        showChecking('');
        A.closeModal($('#publish-dialog'));
    }

    function shownDestination(rec) {
        return rec.type === 'local' ? A.displayPath(rec.url) :
               P.shownLocation(rec.location) + '/' + String(rec.folder || '').replace(/^\/+/, '');
    }

    // What the dialog says of this site's last run: a run that did not send every
    // file is shown as partial, and changes-only is offered to send the rest.
    function destinationNote(site, rec) {
        var cut = A.unfinishedRun(site);
        if (cut) {
            var missing = cut.notSentCount || 0;
            var text = cut.sent > 0 ?
                'The last run to ' + cut.dest + ' did not finish: ' + cut.sent + ' of ' + cut.total + ' files were sent, ' +
                P.plural(missing, 'file was', 'files were') + ' not (' + P.firstNames(cut.notSent || [], missing) +
                '). "Upload only files that changed" sends them.' :
                'The last run to ' + cut.dest + ' sent nothing.' +
                (rec && rec.published ? ' This site was last published whole to ' + shownDestination(rec.published) + '.' : '');
            return { text: text, changesOnly: cut.sent > 0 };
        }
        if (rec && rec.published)
            return { text: 'This site was last published to ' + shownDestination(rec.published) };
        return { text: 'This site has not been published yet: choose where to.' };
    }

    // The dialog offers the destination this site chose last, never another site's:
    // a site not yet published has no server and no folder chosen.
    A.openPublishDialog = function () {
        var site = A.currentSite();
        if (!site || P.run)
            return;
        var rec = A.siteDestination(site);
        P.beginSiteChanges();
        P.dialogSite = { rec: rec, drafts: {} };
        var server = rec && rec.server ? rec.server : null;
        P.showServers(server);
        $('#local-folder').value = rec && rec.type === 'local' ? A.displayPath(rec.url) : '';
        var note = $('#publish-dest-note');
        var said = destinationNote(site, rec);
        A.setBreakableText(note, said.text);
        if (said.changesOnly)
            $('#opt-changes').checked = true;
        A.show(note, true);
        renderRecentPublish();
        loadGitHub();
        checkToken++;
        showPane(rec && rec.type === 'ftp' ? 'pane-ftp' : 'pane-local');
        A.show($('#publish-checking'), false);
        A.show($('#publish-problem'), false);
        A.openModal($('#publish-dialog'), {
            cancel: cancelDialog,
            accept: function () {
                if (!$('#btn-publish-go').disabled)
                    startPublish();
            },
            initial: function () {
                return currentPane() === 'pane-local' ? $('#local-folder') : null;
            }
        });
    };

    function startPublish() {
        var site = A.currentSite();
        var pane = currentPane();
        if (!site || !$('#publish-checking').hidden)
            return;
        var dest;
        var record;
        if (pane === 'pane-local') {
            var folder = $('#local-folder').value.trim();
            if (!folder) {
                problem('Choose the folder to publish into.');
                return;
            }
            dest = A.toFileUrl(folder).replace(/(.)\/+$/, '$1');
            if (!/^file:/.test(dest)) {
                problem('The folder must be an absolute path, such as /home/you/site.');
                return;
            }
            if (A.samePath(dest, site.folder) || A.displayPath(dest).indexOf(A.displayPath(site.folder) + '/') === 0) {
                problem('Choose a folder outside the site\'s own folder ' + A.displayPath(site.folder) + '.');
                return;
            }
            record = { type: 'local', url: dest };
        } else if (pane === 'pane-ftp') {
            var item = P.chosenServer();
            var loc = item && A.parseLocation(item.text);
            if (!loc) {
                problem('Choose a server, or add one and fill in its host.');
                return;
            }
            // The fields as typed: a malformed host has no faithful stored form.
            var wrongHost = P.hostProblem(P.formLocation());
            if (wrongHost) {
                problem(wrongHost);
                return;
            }
            // One spelling per folder: "www", "/www" and "www/" are the same destination.
            var ftpFolder = $('#ftp-folder').value.trim().replace(/^\/+|\/+$/g, '');
            B.regSetFtpFolder(ftpFolder);
            dest = A.destinationUrl(loc, ftpFolder);
            record = { type: 'ftp', location: P.shownLocation(item.text), folder: ftpFolder };
        } else {
            return;
        }
        var changesOnly = $('#opt-changes').checked;
        // Known before anything connects: the check of the server folder logs in too.
        var identityBefore = record.type === 'ftp' ? P.rememberedIdentity(dest) : '';
        function go(fresh) {
            closeDialog();
            if (record.type === 'local')
                writeRecentPublish(dest);
            P.rememberChoice(site, record);
            A.saveSite(function () {
                A.publish(dest, changesOnly && !fresh, fresh, { choice: record, identityBefore: identityBefore });
            });
        }
        function decide(there) {
            if (!there.other) {
                go(!there.trusted);
                return;
            }
            A.confirm({
                title: 'Another site is published there',
                text: A.withoutPassword(dest).replace(/^file:\/\//, '') + ' holds the published site "' + there.other +
                      '"' + (there.otherFolder ? ' of the site folder ' + there.otherFolder : '') + '. Publishing "' +
                      (site.project.settings.title || 'this site') + '"' +
                      (there.otherFolder ? ' from ' + A.displayPath(site.folder) : '') + ' there replaces its files.',
                yes: 'Publish here anyway',
                no: 'Cancel',
                safeDefault: true
            }, function () { go(true); });
        }
        if (record.type === 'local') {
            decide(A.destinationState(site, dest));
            return;
        }
        // Whose site the server folder holds: the host logs in once and reads its
        // project file, which may take a while; the dialog shows what it waits for.
        var token = ++checkToken;
        showChecking('Checking the server folder\u2026');
        setTimeout(function () {
            if (token !== checkToken)
                return;
            var found = P.publishedProjectOnServer(dest);
            // Closed meanwhile, or another site opened: nothing more to do.
            if (token !== checkToken || A.currentSite() !== site)
                return;
            showChecking('');
            // A refused log-in ends it here: the run would only send the
            // refused password again, and hosts lock accounts after a few.
            var refused = found && found.unknown ? P.lastRefusal(loc) : null;
            if (refused && refused.kind === 'login') {
                problem(refused.plain);
                return;
            }
            // A changed identity is refused before any password goes out; the run
            // meets the same refusal and reports it, with nothing sent.
            if (refused && refused.kind === 'identity') {
                decide(A.destinationState(site, dest, null));
                return;
            }
            if (found && found.unknown) {
                // Not knowing is no "nothing there": the user decides.
                A.confirm({
                    title: 'The server folder could not be checked',
                    text: 'Could not see whether ' + A.withoutPassword(dest) + ' holds another site: ' +
                          found.unknown + ' Publishing "' + (site.project.settings.title || 'this site') +
                          '" there replaces any files of the same names.',
                    yes: 'Publish anyway',
                    no: 'Cancel',
                    safeDefault: true
                }, function () { decide(A.destinationState(site, dest, null)); });
                return;
            }
            decide(A.destinationState(site, dest, found));
        }, 30);
    }

    A.on('load', function () {

        $('#btn-publish').addEventListener('click', A.openPublishDialog);
        Array.prototype.forEach.call(document.querySelectorAll('#publish-dialog .tab'), function (tab) {
            tab.addEventListener('click', function () {
                showPane(tab.getAttribute('data-pane'));
                A.refocusModal($('#publish-dialog'));
            });
        });
        $('#btn-publish-cancel').addEventListener('click', cancelDialog);
        $('#btn-publish-go').addEventListener('click', startPublish);
        $('#btn-choose-folder').addEventListener('click', function () {
            var start = $('#local-folder').value.trim();
            B.runFileDialog('Choose the folder to publish into', start ? A.toFileUrl(start) : B.docLocation, 'dir',
                            function (url) {
                if (url)
                    $('#local-folder').value = A.displayPath(url);
            });
        });

        ['#gh-account', '#gh-token', '#gh-repo'].forEach(function (s) {
            $(s).addEventListener('change', saveGitHub);
        });
    });
})();
