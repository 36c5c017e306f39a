// Publishing: a run that ends early (stopped, or cut by a close) is never silent.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp, $ = A.$;
    var P = A.publishing;

    var runQuestion = null;     // 'stop' or 'close' while the page asks about the run
    var closeAfterRun = null;   // closes the site and the window once the run has ended
    var closeAsked = null;      // the same, while the page asks whether to stop and close
    var CLOSE_WAIT_MS = 8000;   // a run that does not end in this time is left to the host

    function runSoFar(r) {
        var total = r.sent.length;
        var sent = r.status ? Object.keys(r.status).filter(function (d) { return r.status[d] === 'sent'; }).length : 0;
        return sent + ' of ' + P.plural(total, 'file', 'files') + ' sent';
    }

    // Escape during a run asks first; the Cancel buttons stop at once.
    P.askStop = function () {
        if (!P.run || P.run.cancelled || runQuestion)
            return;
        runQuestion = 'stop';
        A.confirm({
            title: 'Stop publishing?',
            text: 'Publishing to ' + P.run.shown + ' is not finished: ' + runSoFar(P.run) + '. Stop now? What is not ' +
                  'sent yet stays unsent until you publish again.',
            yes: 'Stop publishing',
            no: 'Keep publishing',
            safeDefault: true
        }, function () {
            runQuestion = null;
            P.stopRun();
        }, function () {
            runQuestion = null;
        });
    };

    // A close request during a run: the window stays (the host counts close
    // requests and ends the program at the third unless the page answers) until
    // the user says whether to stop the run and close. True when it holds the close.
    A.holdClose = function (closeSite) {
        if (!P.run)
            return false;
        B.stopQuit();
        if (runQuestion === 'close')
            return true;
        if (runQuestion === 'stop')
            A.closeModal($('#confirm'));
        runQuestion = 'close';
        closeAsked = closeSite;
        var site = P.run.site;
        A.confirm({
            title: 'Stop publishing and close?',
            text: 'Publishing "' + (site.project.settings.title || 'this site') + '" to ' + P.run.shown +
                  ' is not finished: ' + runSoFar(P.run) + '. If you close now, the rest is not sent; the next ' +
                  'start says what is missing.',
            yes: 'Stop and close',
            no: 'Keep publishing',
            safeDefault: true
        }, function () {
            runQuestion = null;
            closeAsked = null;
            if (!P.run) {
                closeSite();
                return;
            }
            closeAfterRun = closeSite;
            var cut = P.run;
            P.stopRun(true);
            // A server that does not let go: note what is missing and close anyway;
            // the host cancels the run when it goes.
            setTimeout(function () {
                if (closeAfterRun !== closeSite)
                    return;
                closeAfterRun = null;
                if (P.run === cut)
                    cut.noteClosed();
                closeSite();
            }, CLOSE_WAIT_MS);
        }, function () {
            runQuestion = null;
            closeAsked = null;
        });
        return true;
    };

    // A run cut by a close, or by the program's end, is told when its site opens
    // next, with what is missing; the answer opens the dialog set to send just that.
    function tellUnfinished(site) {
        var cut = A.unfinishedRun(site);
        if (!cut || (cut.end !== 'running' && cut.end !== 'closed') || (P.run && A.samePath(P.run.site.folder, site.folder)))
            return;
        var missing = cut.notSentCount || 0;
        var closed = cut.end === 'closed';
        A.confirm({
            title: 'Publishing did not finish',
            text: 'Publishing "' + (cut.title || site.project.settings.title || 'this site') + '" to ' + cut.dest + ' ' +
                  (closed ? 'was stopped when the window was closed' : 'was cut off: the program ended while it ran') +
                  '. ' + missing + ' of ' + cut.total + ' files ' + (missing === 1 ? 'was' : 'were') + ' not ' +
                  (closed ? 'sent' : 'confirmed as sent') + (missing ? ': ' + P.firstNames(cut.notSent || [], missing) : '') +
                  '. Publish them now? "Upload only files that changed" sends only what is missing.',
            yes: 'Publish the rest…',
            no: 'Later'
        }, function () {
            if (A.currentSite() !== site)
                return;
            A.openPublishDialog();
            $('#opt-changes').checked = true;
        });
    }
    A.on('siteOpened', tellUnfinished);

    P.runEnded = function (state) {
        // A question about a run that is over has no answer to wait for.
        if (runQuestion) {
            var asked = closeAsked;
            runQuestion = null;
            closeAsked = null;
            A.closeModal($('#confirm'));
            // The user asked to close; only the run held the window.
            if (asked) {
                asked();
                return;
            }
        }
        if (state.closing && closeAfterRun) {
            var closeSite = closeAfterRun;
            closeAfterRun = null;
            closeSite();
        }
    };

    P.firstNames = function (names, count) {
        var shown = names.slice(0, 3).join(', ');
        return count > 3 ? shown + ' and ' + (count - 3) + ' more' : shown;
    };
})();
