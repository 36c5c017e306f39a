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

    // A message box of the page; the host shows none of its own.
    qlrApp.alert = function (title, text) {
        var box = qlrApp.$('#message');
        qlrApp.$('#message-title').textContent = title;
        qlrApp.$('#message-text').textContent = text;
        qlrApp.show(box, true);
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
