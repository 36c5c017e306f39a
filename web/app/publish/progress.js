// Publishing: the progress display of a run and its end.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp, $ = A.$, el = A.el;
    var P = A.publishing;

    P.progress = {
        total: 0,
        begin: function (count, shown) {
            this.total = count;
            A.setBreakableText($('#progress-title'), 'Publishing to ' + shown);
            $('#progress-file').textContent = 'Connecting…';
            this.counts(0, 0);
            $('#btn-progress-cancel').disabled = false;
            A.show($('#progress-error'), false);
            A.show($('#progress-done'), false);
            A.show($('#progress-running'), true);
            $('#progress-done').removeAttribute('data-outcome');
            A.openModal($('#progress'), {
                cancel: function () {
                    // Escape is easily pressed: a running publish asks before it stops.
                    if (P.run && !P.run.cancelled) {
                        P.askStop();
                        return;
                    }
                    var pick = ['#btn-done-close', '#btn-err-cancel', '#btn-progress-cancel'].filter(function (s) {
                        return !$(s).disabled && !hiddenUp($(s));
                    })[0];
                    if (pick)
                        $(pick).click();
                },
                accept: function () {
                    var pick = ['#btn-done-close', '#btn-err-continue'].filter(function (s) { return !hiddenUp($(s)); })[0];
                    if (pick)
                        $(pick).click();
                }
            });
        },
        // The bar shows the files that reached the destination, not attempts.
        counts: function (sent, failed) {
            var text = sent + ' of ' + this.total + ' files sent';
            if (failed)
                text += ', ' + failed + ' failed';
            $('#progress-count').textContent = text;
            $('#progress-bar').style.width = (this.total ? Math.round(100 * sent / this.total) : 100) + '%';
        },
        file: function (name) {
            A.setBreakableText($('#progress-file'), name);
        },
        showError: function (explained) {
            $('#progress-error-text').textContent = explained.plain;
            $('#progress-error-detail').textContent = explained.note || '';
            A.show($('#progress-error'), true);
            A.show($('#progress-running'), false);
            A.refocusModal($('#progress'));
        },
        hideError: function () {
            A.show($('#progress-error'), false);
            A.show($('#progress-running'), true);
            A.refocusModal($('#progress'));
        },
        finish: function (outcome, title, text, more, detail, failures, canOpen) {
            $('#progress-done').setAttribute('data-outcome', outcome);
            A.clear($('#progress-file'));
            A.setBreakableText($('#progress-title'), title);
            A.setBreakableText($('#progress-done-text'), text);
            A.setBreakableText($('#progress-done-more'), more || '');
            A.show($('#progress-done-more'), !!more);
            $('#progress-done-detail').textContent = detail || '';
            A.show($('#progress-done-detail'), !!detail);
            var ul = A.clear($('#progress-failed'));
            failures.forEach(function (f) {
                var li = el('li', {});
                A.setBreakableText(li, (f.file ? f.file + ': ' : '') + (f.short || f.plain));
                if (f.detail)
                    li.setAttribute('title', f.detail);
                ul.appendChild(li);
            });
            A.show($('#progress-failed'), failures.length > 0);
            A.show($('#btn-open-index'), canOpen);
            A.show($('#progress-open-note'), false);
            A.show($('#progress-error'), false);
            A.show($('#progress-running'), false);
            A.show($('#progress-done'), true);
            A.refocusModal($('#progress'));
        },
        hide: function () {
            A.closeModal($('#progress'));
        }
    };

    function hiddenUp(node) {
        for (var n = node; n && n.nodeType === 1; n = n.parentNode) {
            if (n.hidden)
                return true;
        }
        return false;
    }

    function openIndex() {
        var state = A.lastPublish;
        if (!state)
            return;
        var url = A.indexUrl(state.dest);
        var answer = B.openUrl(url);
        var note = $('#progress-open-note');
        // The host cannot tell whether a browser took it: say what was asked for.
        A.setBreakableText(note, answer === false ?
                           'No program is set up to open ' + url + '. Open it in your browser yourself.' :
                           'Asked the desktop to open ' + url + '. If no browser opens, none is set up for this ' +
                           'kind of address: open it in your browser yourself.');
        A.show(note, true);
    }

    A.on('load', function () {
        $('#btn-done-close').addEventListener('click', P.progress.hide);
        $('#btn-open-index').addEventListener('click', openIndex);
    });
})();
