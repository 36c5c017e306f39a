// Publishing: one run, from the upload list to what it reports.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp, $ = A.$;
    var P = A.publishing;

    P.run = null;     // the running publish, see A.publish

    // One line per failed file, in order.
    function distinctFailures(failures) {
        var seen = {};
        return failures.filter(function (f) {
            var key = f.file ? 'f:' + f.file : 't:' + f.text;
            if (seen[key])
                return false;
            seen[key] = true;
            return true;
        });
    }

    // The identity (key fingerprint) this computer remembers for the server of a
    // location: empty when none, for plain FTP, or when the host cannot tell.
    P.rememberedIdentity = function (location) {
        var loc = A.parseLocation(location);
        if (!loc || (loc.scheme !== 'ftps' && loc.scheme !== 'sftp') || typeof B.ftpIdentityFingerprint !== 'function')
            return '';
        var text = '';
        try {
            text = B.ftpIdentityFingerprint(location);
        } catch (e) {
            text = '';
        }
        return text ? String(text) : '';
    };

    P.learntIdentityText = function (server, identity) {
        return 'First connection to ' + server + ': its identity ' + identity + ' is remembered from now on. ' +
               'Compare it with the one your host publishes.';
    };

    // Shows how a run ended and returns the outcome: 'stopped', 'failed', 'errors' or
    // 'published'. `r` is what the run knows at its end.
    function tellOutcome(r) {
        function finish(outcome, title, text, more, noteText, failedList, canOpen) {
            P.progress.finish(outcome, title, text, more && r.learnt ? more + ' ' + r.learnt : more || r.learnt,
                              noteText, failedList, canOpen);
            return outcome;
        }
        var fatal = r.fatal;
        var last = r.failures[r.failures.length - 1];
        var reason = fatal || (last ? A.explainError(last.text, r.server, last.file) : null);
        var sent = P.plural(r.sent, 'file', 'files') + ' sent';
        if (r.cancelled) {
            var parts = [sent];
            if (r.cutOff.length)
                parts.push(r.cutOff.length === 1 ? r.cutOff[0] + ' was cut off' : r.cutOff.length + ' files were cut off');
            if (r.failed)
                parts.push(r.failed + ' failed');
            parts.push(P.plural(r.notSent.length, 'file', 'files') + ' not sent');
            return finish('stopped', 'Publishing stopped', 'You stopped publishing to ' + r.shown + ': ' + parts.join(', ') + '.',
                          r.notSent.length || r.cutOff.length ? 'Publish again to send the rest.' : '',
                          '', r.failedFiles, r.indexSent);
        }
        if (r.sent === 0 && (r.failures.length || !r.url)) {
            return finish('failed', 'Publishing failed', 'Publishing failed: nothing was sent to ' + r.shown + '.',
                          reason ? reason.plain : 'The publishing run ended before any file was sent.',
                          reason ? reason.note : '', fatal ? [] : r.failedFiles, false);
        }
        if (r.failed || r.notSent.length || r.failedFiles.length || !r.url) {
            var more = sent + ', ' + r.failed + ' failed' + (r.notSent.length ? ', ' + r.notSent.length + ' not sent' : '') + '.';
            // Each distinct reason once, in words that say what to do.
            var advice = [];
            (fatal ? [fatal] : r.failedFiles).forEach(function (f) {
                if (f.plain && advice.indexOf(f.plain) < 0 && advice.length < 3)
                    advice.push(f.plain);
            });
            advice.push('Publish again to send the files that failed.');
            return finish('errors', 'Published with errors',
                          'The site was published to ' + r.shown + ', but not all files arrived: ' + more,
                          advice.join(' '), fatal ? fatal.note : '', r.failedFiles, r.indexSent);
        }
        return finish('published', 'Published', 'The site published successfully to ' + r.shown,
                      r.sent === 0 ? 'Nothing had changed since the last publish.' : sent + '.', '', [], r.indexSent);
    }

    var NAMES_KEPT = 50;    // names of files not sent kept in a run's note

    // Publishes the current site to a destination URL (credentials in plain text).
    // A changes-only run sends what changed since the last run to this very
    // destination; `fresh` drops that record first (another site wrote there).
    // `opts.choice` is the destination as the dialog chose it ({ type, url } or
    // { type, location, folder }); `opts.identityBefore` the server's remembered
    // identity before anything connected.
    A.publish = function (destUrl, changesOnly, fresh, opts) {
        var site = A.currentSite();
        if (!site || P.run)
            return false;
        opts = opts || {};
        P.context = P.makeContext(site);
        var key = A.withoutPassword(destUrl);
        var shown = /^file:/.test(key) ? A.displayPath(key) : key;
        var parsed = /^file:/.test(key) ? null : A.parseLocation(destUrl);
        var server = parsed ? P.serverName(parsed) : 'the folder ' + shown;
        var choice = opts.choice || (parsed ? { type: 'ftp', location: P.shownLocation(P.locationText(parsed)), folder: parsed.path } :
                                              { type: 'local', url: destUrl });
        var identityBefore = 'identityBefore' in opts ? opts.identityBefore : P.rememberedIdentity(destUrl);
        var entries = A.buildUploadList(site);
        var store = P.loadHashes(site.folder);
        var old = fresh ? {} : (store[key] || {});
        var hashes = {};
        entries.forEach(function (e) { hashes[e.dest] = P.entryHash(e); });
        var send = entries.filter(function (e) {
            return !changesOnly || !hashes[e.dest] || hashes[e.dest] !== old[e.dest];
        });
        var order = send.map(function (e) { return e.dest; });
        // What the destination holds of this site while the run goes: files about to
        // be sent are not known there until they arrive, so a run cut short (even by a
        // crash) leaves them to the next changes-only run.
        var held = {};
        for (var k0 in old)
            held[k0] = old[k0];
        send.forEach(function (e) { delete held[e.dest]; });
        function saveHashes() {
            var next = {};
            for (var k in held)
                next[k] = held[k];
            send.forEach(function (e) {
                if (status[e.dest] === 'sent' && hashes[e.dest])
                    next[e.dest] = hashes[e.dest];
            });
            store[key] = next;
            B.saveLocalFile(site.folder + '/' + P.HASHES, JSON.stringify(store, null, 1));
        }
        // The run's note stays with the site until a run sends every file.
        var note = { dest: shown, title: site.project.settings.title || '', total: order.length, sent: 0,
                     notSent: order.slice(0, NAMES_KEPT), notSentCount: order.length, end: 'running',
                     started: new Date().toISOString() };
        var ownerWritten = false;
        var lastCheckpoint = 0;
        function checkpoint(force) {
            var now = new Date().getTime();
            if (!force && now - lastCheckpoint < 2000)
                return;
            lastCheckpoint = now;
            saveHashes();
            if (sentCount > 0 && !ownerWritten) {
                P.rememberOwner(key, site);
                ownerWritten = true;
            }
            var missing = order.filter(function (d) { return status[d] !== 'sent'; });
            note.sent = sentCount;
            note.notSent = missing.slice(0, NAMES_KEPT);
            note.notSentCount = missing.length;
            P.writeUnfinishedRun(site, note);
        }
        var failures = entries.skipped.map(function (name) {
            return { file: name, text: 'not published', plain: 'not published: a page name must be a plain file name',
                     short: 'not published: a page name must be a plain file name', kind: 'name' };
        });
        var status = {};        // dest -> 'sent' | 'failed'
        var started = {};       // dest -> true once the host began to send it
        var sentCount = 0;
        var failedCount = 0;
        var state = P.run = {
            dest: destUrl, key: key, shown: shown, ignore: false, cancelled: false, fatal: null,
            sent: order, failures: failures, status: status, site: site,
            // Ended to close the window: what is not sent yet stays noted with the site.
            noteClosed: function () {
                note.end = 'closed';
                checkpoint(true);
            }
        };

        function mark(dest, what) {
            if (!dest || status[dest])
                return;
            status[dest] = what;
            if (what === 'sent')
                sentCount++;
            else
                failedCount++;
            P.progress.counts(sentCount, failedCount);
            checkpoint(false);
        }

        function record(dest, text) {
            var explained = A.explainError(text, server, dest);
            var f = { file: dest, text: P.oneLine(text), plain: explained.plain, detail: explained.detail,
                      short: explained.short, kind: explained.kind };
            failures.push(f);
            return explained;
        }

        P.writeUnfinishedRun(site, note);
        saveHashes();
        P.progress.begin(send.length, shown);
        state.job = B.FileManager(send, destUrl, {
            start: function () {},
            // The host announces a file as it begins to send it, and again just before
            // a failure it found later (a batch put in place together) is reported.
            file: function (name) {
                started[name] = true;
                P.progress.file(name);
            },
            // Only a file or text that is whole at the destination is reported here.
            uploaded: function (name) {
                mark(name, 'sent');
            },
            // `entry` is the entry of the upload list the error is about, null for none
            // (the close of the run). Before the entry began, the error is its folder's
            // or a source the host refused: it may still arrive, and if it never does
            // it is listed as failed with this reason.
            error: function (text, entry) {
                var dest = entry ? String(entry.dest) : null;
                var explained = record(dest, text);
                if (dest && started[dest])
                    mark(dest, 'failed');
                if (state.cancelled)
                    return;
                if (explained.fatal) {
                    // Every later file would fail the same way: end the run here.
                    state.fatal = explained;
                    P.progress.hideError();
                    state.job.exit();
                    return;
                }
                if (state.ignore) {
                    state.job.resume();
                    return;
                }
                state.job.pause();
                P.progress.showError(explained);
            },
            close: function (url) {
                P.context = null;
                P.run = null;
                // An entry whose error came before it began (its folder, or a source the
                // host refused) and that never arrived failed with that error.
                failures.forEach(function (f) {
                    if (f.file && !started[f.file] && order.indexOf(f.file) >= 0)
                        mark(f.file, 'failed');
                });
                // What the host began to send and never reported whole: cut off by a
                // stop; at any other end, not known to have arrived.
                var cutOff = !state.cancelled ? [] : order.filter(function (d) { return started[d] && !status[d]; });
                var notSent = order.filter(function (d) { return !status[d] && cutOff.indexOf(d) < 0; });
                var failedFiles = distinctFailures(failures.filter(function (f) {
                    return f.file ? status[f.file] === 'failed' || (!status[f.file] && cutOff.indexOf(f.file) < 0) : true;
                }));

                // What this destination now holds of this site: files sent keep their hash;
                // files failed, cut off or not sent are left out so the next run sends them.
                saveHashes();
                if (sentCount > 0)
                    P.rememberOwner(key, site);

                var indexSent = status['index.html'] === 'sent' ||
                                (order.indexOf('index.html') < 0 && !!old['index.html'] && sentCount + failedCount > 0 &&
                                 !notSent.length && !failedCount);
                state.indexSent = indexSent;
                state.sentFiles = order.filter(function (d) { return status[d] === 'sent'; });
                state.failedFiles = order.filter(function (d) { return status[d] === 'failed'; });
                state.notSent = notSent;
                state.cutOff = cutOff.length ? cutOff[0] : null;
                state.cutOffFiles = cutOff;
                // Trust on first use: the identity the server showed is the one kept from now on.
                var identityNow = parsed ? P.rememberedIdentity(destUrl) : '';
                var learnt = !identityBefore && identityNow ? P.learntIdentityText(server, identityNow) : '';
                state.outcome = tellOutcome({
                    shown: shown, server: server, url: url, cancelled: state.cancelled, fatal: state.fatal,
                    sent: sentCount, failed: failedCount, cutOff: cutOff, notSent: notSent, failures: failures,
                    failedFiles: failedFiles, indexSent: indexSent, learnt: learnt
                });
                if (state.outcome === 'published') {
                    P.writeUnfinishedRun(site, null);
                    P.rememberPublished(site, choice);
                } else {
                    if (state.closing)
                        note.end = 'closed';
                    else if (note.end !== 'closed')
                        note.end = state.outcome;
                    checkpoint(true);
                }
                A.fire('uploadFilesComplete', url ? key : '');
                P.runEnded(state);
            }
        });
        A.lastPublish = state;
        return true;
    };

    // Ends the run; `closing` when the window is to close once it has ended.
    P.stopRun = function (closing) {
        if (!P.run || P.run.cancelled)
            return;
        P.run.cancelled = true;
        P.run.closing = closing === true;
        P.progress.hideError();
        $('#progress-file').textContent = 'Stopping…';
        $('#btn-progress-cancel').disabled = true;
        P.run.job.exit();
    };

    A.on('load', function () {
        $('#btn-err-continue').addEventListener('click', function () {
            P.progress.hideError();
            if (P.run)
                P.run.job.resume();
        });
        $('#btn-err-ignore').addEventListener('click', function () {
            P.progress.hideError();
            if (P.run) {
                P.run.ignore = true;
                P.run.job.resume();
            }
        });
        $('#btn-err-cancel').addEventListener('click', P.stopRun);
        $('#btn-progress-cancel').addEventListener('click', P.stopRun);
    });
})();
