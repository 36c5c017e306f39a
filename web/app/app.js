// The application object: a small synchronous event bus and the start-up sequence.
(function () {
    'use strict';

    var handlers = {};
    var fired = {};
    // Start-up events stay fired: a listener added later runs at once.
    var sticky = { bridgeInit: true, load: true };

    var qlrApp = window.qlrApp = {
        on: function (name, fn) {
            (handlers[name] = handlers[name] || []).push(fn);
            if (sticky[name] && (name in fired))
                fn(fired[name]);
        },
        off: function (name, fn) {
            if (!fn) {
                delete handlers[name];
                return;
            }
            var list = handlers[name] || [];
            var at = list.indexOf(fn);
            if (at >= 0)
                list.splice(at, 1);
        },
        fire: function (name, arg) {
            if (sticky[name])
                fired[name] = arg;
            var list = (handlers[name] || []).slice();
            for (var i = 0; i < list.length; i++) {
                try {
                    list[i](arg);
                } catch (e) {
                    console.error('qlrApp handler of ' + name + ' failed: ' + e);
                }
            }
        }
    };

    // Small DOM helpers shared by the modules; every shown text goes in as text.
    qlrApp.el = function (tag, attrs, children) {
        var node = document.createElement(tag);
        attrs = attrs || {};
        for (var k in attrs) {
            if (k === 'text')
                node.textContent = attrs[k];
            else if (k === 'className')
                node.className = attrs[k];
            else if (k.indexOf('on') === 0 && typeof attrs[k] === 'function')
                node.addEventListener(k.slice(2), attrs[k]);
            else
                node.setAttribute(k, attrs[k]);
        }
        (children || []).forEach(function (child) {
            if (child)
                node.appendChild(typeof child === 'string' ? document.createTextNode(child) : child);
        });
        return node;
    };
    qlrApp.$ = function (selector) {
        return document.querySelector(selector);
    };
    qlrApp.clear = function (node) {
        while (node.firstChild)
            node.removeChild(node.firstChild);
        return node;
    };
    qlrApp.show = function (node, visible) {
        node.hidden = !visible;
    };

    // A text shown so that long addresses break after a "/" (or the "@" before a
    // host) rather than inside a name or a port number: text nodes with optional
    // break points, never markup.
    qlrApp.setBreakableText = function (node, text) {
        qlrApp.clear(node);
        var parts = String(text === undefined || text === null ? '' : text).split(/([\/@])/);
        parts.forEach(function (part, i) {
            if (part)
                node.appendChild(document.createTextNode(part));
            // Not between the two slashes after a scheme.
            if ((part === '/' || part === '@') && i % 2 === 1 && parts[i + 1])
                node.appendChild(document.createElement('wbr'));
        });
        return node;
    };

    // --- lists: one entry at a time in the Tab order, the arrow keys move

    var listKeys = { 38: -1, 40: 1, 36: 'first', 35: 'last' };

    function listEntries(ul) {
        return Array.prototype.filter.call(ul.children, function (li) { return li.hasAttribute('data-index'); });
    }

    function listIndex(ul, node) {
        for (var n = node; n && n !== ul; n = n.parentNode) {
            if (n.parentNode === ul && n.hasAttribute && n.hasAttribute('data-index'))
                return Number(n.getAttribute('data-index'));
        }
        return -1;
    }

    // The entry Tab stops at: the focused one, else the current one, else the first.
    function rove(ul, at) {
        var entries = listEntries(ul);
        if (at < 0 || at >= entries.length) {
            at = 0;
            entries.forEach(function (li, i) {
                if (/\bcurrent\b/.test(li.className))
                    at = i;
            });
        }
        entries.forEach(function (li, i) {
            var tab = i === at ? 0 : -1;
            if (li.tabIndex !== tab || !li.hasAttribute('tabindex'))
                li.tabIndex = tab;
        });
        return entries[at] || null;
    }

    function bindList(ul) {
        // The entry under the press is the one chosen, whatever a redraw does before the
        // release: the field being left reports its change first (a redraw may move or
        // re-text entries), then a selection list selects at once, and any other list
        // acts on the release over that same entry.
        var pressed = null;
        var handled = false;
        function entryOf(node) {
            var i = listIndex(ul, node);
            return i >= 0 ? listEntries(ul)[i] : null;
        }
        function activate(li) {
            var i = listIndex(ul, li);
            if (i >= 0 && ul.qlrList.activate)
                ul.qlrList.activate(i);
        }
        ul.addEventListener('mousedown', function (e) {
            pressed = e.button === 0 ? entryOf(e.target) : null;
            handled = false;
            if (!pressed)
                return;
            var active = document.activeElement;
            if (active && active !== document.body && !ul.contains(active) && active.blur)
                active.blur();
            if (ul.qlrList.selectOnMove && document.documentElement.contains(pressed)) {
                handled = true;
                activate(pressed);
            }
        });
        ul.addEventListener('mouseup', function (e) {
            if (pressed && !handled && entryOf(e.target) === pressed) {
                handled = true;
                activate(pressed);
            }
            pressed = null;
            // The click that follows the release, when there is one, was this.
            setTimeout(function () { handled = false; }, 0);
        });
        ul.addEventListener('click', function (e) {
            if (handled) {
                handled = false;
                return;
            }
            activate(entryOf(e.target));
        });
        ul.addEventListener('keydown', function (e) {
            var i = listIndex(ul, e.target);
            if (i < 0 || e.altKey || e.ctrlKey || e.metaKey)
                return;
            var opts = ul.qlrList;
            if (e.keyCode === 13 || e.keyCode === 32) {
                e.preventDefault();
                if (opts.activate)
                    opts.activate(i);
                return;
            }
            var step = listKeys[e.keyCode];
            if (step === undefined)
                return;
            e.preventDefault();
            var count = listEntries(ul).length;
            var to = step === 'first' ? 0 : step === 'last' ? count - 1 : Math.max(0, Math.min(count - 1, i + step));
            if (to === i)
                return;
            if (opts.selectOnMove && opts.activate)
                opts.activate(to);
            var li = rove(ul, to);
            if (li)
                li.focus();
        });
    }

    // Draws a list of `count` entries into `ul`, keeping the entries already there, so
    // that a redraw while the mouse is pressed on one (a field that loses the focus
    // redraws the page) keeps that entry, and the focused entry keeps the focus.
    // opts: draw(li, i) fills an entry (called on every redraw), current (index or -1),
    // activate(i) for a click, Enter or Space, selectOnMove to let the arrow keys
    // activate as well (else they move the focus only), empty: the text of an empty list.
    qlrApp.fillList = function (ul, count, opts) {
        if (!ul.qlrList)
            bindList(ul);
        ul.qlrList = opts;
        var focused = listIndex(ul, document.activeElement);
        var entries = listEntries(ul);
        Array.prototype.slice.call(ul.children).forEach(function (li) {
            if (!li.hasAttribute('data-index'))
                ul.removeChild(li);
        });
        for (var i = 0; i < count; i++) {
            var li = entries[i];
            if (!li) {
                li = document.createElement('li');
                li.setAttribute('data-index', String(i));
                ul.appendChild(li);
            }
            var className = i === opts.current ? 'current' : '';
            if (li.className !== className)
                li.className = className;
            opts.draw(li, i);
        }
        for (var k = entries.length - 1; k >= count; k--)
            ul.removeChild(entries[k]);
        if (!count && opts.empty)
            ul.appendChild(qlrApp.el('li', { className: 'empty', text: opts.empty }));
        var stop = rove(ul, focused < count ? focused : -1);
        // The focus stays in the list when the entry it was on went away.
        if (focused >= count && stop)
            stop.focus();
    };

    // Text of a list entry: replaced only when it changed, so the nodes under the
    // mouse stay.
    qlrApp.setEntryText = function (node, text, breakable) {
        text = String(text === undefined || text === null ? '' : text);
        if (node.qlrText === text && node.firstChild)
            return;
        node.qlrText = text;
        if (breakable)
            qlrApp.setBreakableText(node, text);
        else
            node.textContent = text;
    };

    // --- dialogs: modal for focus and keyboard

    // Open dialogs, the top one last: { node, opts, back }. While one is open the
    // focus stays inside it, Tab wraps around in it, Escape cancels and Enter
    // confirms its default button; closing it gives the focus back.
    var modals = [];

    function isShown(node) {
        for (var n = node; n && n.nodeType === 1; n = n.parentNode) {
            if (n.hidden || getComputedStyle(n).display === 'none' || getComputedStyle(n).visibility === 'hidden')
                return false;
        }
        return true;
    }

    function focusables(root) {
        var found = root.querySelectorAll('button, input, select, textarea, a[href], li[tabindex], [tabindex="0"]');
        return Array.prototype.filter.call(found, function (n) {
            return !n.disabled && n.tabIndex >= 0 && isShown(n);
        });
    }

    function topModal() {
        return modals.length ? modals[modals.length - 1] : null;
    }

    // Whether a control of a scrolling dialog shows while the dialog is at its top.
    function showsAtTop(box, n) {
        return n.getBoundingClientRect().bottom - box.getBoundingClientRect().top + box.scrollTop <= box.clientHeight;
    }

    function focusInto(m, opening) {
        var target = m.opts.initial ? m.opts.initial() : null;
        var list = focusables(m.node);
        if (!target || target.disabled || !isShown(target)) {
            var primary = list.filter(function (n) { return /\bprimary\b/.test(n.className); });
            target = primary[0] || list[0] || null;
        }
        // A dialog taller than the window opens at its top, its heading shown, with the
        // focus on a control shown there (the current tab first) rather than scrolled to.
        var box = m.node.querySelector('.dialog');
        if (opening && box && target && box.scrollHeight > box.clientHeight) {
            box.scrollTop = 0;
            if (!showsAtTop(box, target)) {
                var shown = list.filter(function (n) { return showsAtTop(box, n); });
                target = shown.filter(function (n) { return /\bactive\b/.test(n.className); })[0] || shown[0] || target;
            }
        }
        if (target)
            target.focus();
    }

    qlrApp.openModal = function (node, opts) {
        opts = opts || {};
        var m = null;
        for (var i = 0; i < modals.length; i++) {
            if (modals[i].node === node)
                m = modals.splice(i, 1)[0];
        }
        if (!m)
            m = { node: node, back: document.activeElement };
        m.opts = opts;
        modals.push(m);
        qlrApp.show(node, true);
        focusInto(m, true);
    };

    // After a dialog changed its buttons (a panel shown or hidden): keep the focus
    // on something that can still take it.
    qlrApp.refocusModal = function (node) {
        var m = topModal();
        if (!m || m.node !== node)
            return;
        var active = document.activeElement;
        if (!active || !node.contains(active) || active.disabled || !isShown(active))
            focusInto(m);
    };

    qlrApp.closeModal = function (node) {
        qlrApp.show(node, false);
        var at = -1;
        for (var i = 0; i < modals.length; i++) {
            if (modals[i].node === node)
                at = i;
        }
        if (at < 0)
            return;
        var m = modals.splice(at, 1)[0];
        var top = topModal();
        var back = m.back;
        if (back && back.focus && document.documentElement.contains(back) && !back.disabled && isShown(back) &&
                (!top || top.node.contains(back))) {
            back.focus();
        } else if (top) {
            focusInto(top);
        } else if (!document.activeElement || document.activeElement === document.body ||
                   node.contains(document.activeElement)) {
            // The control that opened it is gone: the focus goes to the page's first
            // control rather than nowhere, where it would not show.
            var first = focusables(document.body).filter(function (n) {
                for (var p = n; p; p = p.parentNode) {
                    if (p.className && /\boverlay\b/.test(p.className))
                        return false;
                }
                return true;
            })[0];
            if (first)
                first.focus();
            else if (document.activeElement && document.activeElement.blur)
                document.activeElement.blur();
        }
    };

    qlrApp.modalOpen = function () {
        return !!topModal();
    };

    document.addEventListener('keydown', function (e) {
        var m = topModal();
        if (m) {
            if (e.keyCode === 27) {
                e.preventDefault();
                e.stopPropagation();
                if (m.opts.cancel)
                    m.opts.cancel();
                return;
            }
            if (e.keyCode === 13 && !e.ctrlKey && !e.altKey) {
                var t = e.target;
                var tag = t && t.tagName ? t.tagName.toLowerCase() : '';
                // A focused button or link takes Enter itself; a text area keeps its line feeds.
                if (tag === 'textarea' || tag === 'button' || tag === 'a' || (tag === 'li' && t.tabIndex >= 0))
                    return;
                if (m.opts.accept) {
                    e.preventDefault();
                    m.opts.accept();
                }
                return;
            }
            if (e.keyCode === 9) {
                var list = focusables(m.node);
                if (!list.length) {
                    e.preventDefault();
                    return;
                }
                var at = list.indexOf(document.activeElement);
                var next;
                if (at < 0)
                    next = e.shiftKey ? list[list.length - 1] : list[0];
                else if (e.shiftKey && at === 0)
                    next = list[list.length - 1];
                else if (!e.shiftKey && at === list.length - 1)
                    next = list[0];
                if (next) {
                    e.preventDefault();
                    next.focus();
                }
            }
            return;
        }
        if (e.ctrlKey && !e.altKey && !e.shiftKey && (e.keyCode === 83 || e.keyCode === 79)) {
            e.preventDefault();
            qlrApp.fire(e.keyCode === 83 ? 'saveRequested' : 'openRequested');
        }
    }, true);

    // Focus that lands behind an open dialog (a click on the overlay, a script) goes back in.
    document.addEventListener('focus', function (e) {
        var m = topModal();
        if (m && e.target && e.target.nodeType === 1 && !m.node.contains(e.target))
            focusInto(m);
    }, true);

    // A message box of the page; the host shows none of its own.
    qlrApp.alert = function (title, text, done) {
        var box = qlrApp.$('#message');
        qlrApp.$('#message-title').textContent = title;
        qlrApp.setBreakableText(qlrApp.$('#message-text'), text);
        var close = function () {
            qlrApp.closeModal(box);
            if (done)
                done();
        };
        qlrApp.$('#btn-message-ok').onclick = close;
        qlrApp.openModal(box, { cancel: close, accept: close });
    };

    // A question with two answers; Escape and the left button say no.
    qlrApp.confirm = function (opts, onYes, onNo) {
        var box = qlrApp.$('#confirm');
        qlrApp.$('#confirm-title').textContent = opts.title || '';
        qlrApp.setBreakableText(qlrApp.$('#confirm-text'), opts.text || '');
        qlrApp.$('#btn-confirm-yes').textContent = opts.yes || 'OK';
        qlrApp.$('#btn-confirm-no').textContent = opts.no || 'Cancel';
        function answer(yes) {
            qlrApp.closeModal(box);
            var fn = yes ? onYes : onNo;
            if (fn)
                fn();
        }
        qlrApp.$('#btn-confirm-yes').onclick = function () { answer(true); };
        qlrApp.$('#btn-confirm-no').onclick = function () { answer(false); };
        qlrApp.openModal(box, {
            cancel: function () { answer(false); },
            accept: function () { answer(true); },
            initial: function () { return opts.safeDefault ? qlrApp.$('#btn-confirm-no') : qlrApp.$('#btn-confirm-yes'); }
        });
    };

    // A short note in the title bar: "Saved" for a moment, an error until the next note.
    var statusTimer = null;
    qlrApp.status = function (text, kind) {
        var node = qlrApp.$('#status');
        if (!node)
            return;
        clearTimeout(statusTimer);
        node.textContent = text;
        node.title = text;
        node.className = 'status' + (kind ? ' ' + kind : '');
        if (kind !== 'problem') {
            statusTimer = setTimeout(function () {
                node.textContent = '';
                node.className = 'status';
            }, 2500);
        }
    };

    var B = window.Bridge;
    // Until the projects module takes over, closing quits at once.
    B.bind('close', function () { window.Bridge.quit(); });
    B.bind('drop', function (urls) {
        (urls || []).forEach(function (url) {
            qlrApp.fire('incomingFile', url);
        });
    });

    B.ready(function () {
        B.onLoadRequest = function (url) {
            qlrApp.fire('incomingFile', url);
        };
        qlrApp.fire('bridgeInit');
        qlrApp.fire('load');
        document.body.className = document.body.className.replace('app-starting', 'app-ready');
    });

    if (B.runsInHost()) {
        B.waitForHost();
    } else {
        window.addEventListener('load', function () {
            var note = qlrApp.$('#starting-text');
            if (note)
                note.textContent = 'This page is the editor of the Quillary desktop program and runs only inside it.';
        });
    }
})();
