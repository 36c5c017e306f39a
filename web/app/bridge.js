// Script side of the bridge: events, the ready wait, the upload queue and small helpers.
// The host's own script (level 0) is evaluated after this file when the page has
// loaded; it replaces isValid, which is how the page learns that the host is in.
(function () {
    'use strict';

    var B = window.Bridge = window.Bridge || {};
    var listeners = {};
    var readyHandlers = [];
    var ready = false;

    function key(name) {
        return 'on' + String(name).toLowerCase();
    }

    B.emit = function (name, arg) {
        var list = listeners[key(name)];
        if (!list)
            return;
        list = list.slice();
        for (var i = 0; i < list.length; i++) {
            try {
                list[i](arg);
            } catch (e) {
                console.error('Bridge listener of ' + name + ' failed: ' + e);
            }
        }
    };

    B.bind = function (name, fn) {
        var k = key(name);
        (listeners[k] = listeners[k] || []).push(fn);
    };

    B.unbind = function (name, fn) {
        var k = key(name);
        if (!fn) {
            delete listeners[k];
            return;
        }
        var list = listeners[k] || [];
        var at = list.indexOf(fn);
        if (at >= 0)
            list.splice(at, 1);
    };

    // Answers false until the host's script replaces it.
    B.isValid = function () {
        return false;
    };

    B.ready = function (fn) {
        if (ready)
            fn();
        else
            readyHandlers.push(fn);
    };

    B.runsInHost = function () {
        return typeof window.qt !== 'undefined' || /quillary/i.test(navigator.userAgent);
    };

    function becomeReady() {
        ready = true;
        B._startLog.push('ready');
        var list = readyHandlers;
        readyHandlers = [];
        for (var i = 0; i < list.length; i++) {
            try {
                list[i]();
            } catch (e) {
                console.error('Bridge ready handler failed: ' + e);
            }
        }
    }

    // What the wait saw, in order: one entry per poll, then "ready".
    B._startLog = [];

    B.waitForHost = function () {
        var timer = setInterval(function () {
            var valid = B.isValid();
            B._startLog.push(valid ? 'valid' : 'not valid');
            if (valid) {
                clearInterval(timer);
                becomeReady();
            }
        }, 100);
    };

    function pad(value, width) {
        var text = String(value);
        while (text.length < width)
            text = '0' + text;
        return text;
    }

    // Runs of y, M, d, h, m, s, q and S stand for the parts of the date; runs of two
    // or more letters are zero-padded.
    B.dateFormat = function (date, pattern) {
        var parts = {
            'y': date.getFullYear(),
            'M': date.getMonth() + 1,
            'd': date.getDate(),
            'h': date.getHours(),
            'm': date.getMinutes(),
            's': date.getSeconds(),
            'q': Math.floor(date.getMonth() / 3) + 1,
            'S': date.getMilliseconds()
        };
        return String(pattern).replace(/y+|M+|d+|h+|m+|s+|q+|S+/g, function (run) {
            var value = parts[run.charAt(0)];
            if (run.charAt(0) === 'y')
                return run.length > 2 ? String(value) : String(value).slice(-2);
            if (run.charAt(0) === 'S')
                return run.length > 1 ? pad(value, 3) : String(value);
            return run.length > 1 ? pad(value, run.length) : String(value);
        });
    };

    // The recent sites: recents.list in the data location, or the host's older list.
    B.getRecentsList = function (callback) {
        B.loadLocalFile(B.dataLocation + '/recents.list', function (text) {
            var list = null;
            try {
                list = JSON.parse(text);
            } catch (e) {
                list = null;
            }
            if (Object.prototype.toString.call(list) === '[object Array]') {
                callback(list);
                return;
            }
            B.getRecents(function (legacy) {
                var seen = {};
                var result = [];
                var lines = legacy ? String(legacy).split('\n') : [];
                for (var i = 0; i < lines.length; i++) {
                    if (!lines[i] || seen[lines[i]])
                        continue;
                    seen[lines[i]] = true;
                    result.push({ path: lines[i] });
                }
                callback(result);
            });
        });
    };

    // The upload queue: one upload at a time, the rest wait in _fmQueue.
    B._fmQueue = [];
    B._fmUploaders = [];
    B._fmCurrent = null;

    B.fileManagerAddUploader = function (fn) {
        B._fmUploaders.push(fn);
    };

    function startNext() {
        if (B._fmCurrent)
            return;
        var job = B._fmQueue.shift();
        if (!job)
            return;
        B._fmCurrent = job;
        var callbacks = job.callbacks;
        var defaults = {
            error: function (text) {
                // One text: the host's console log keeps only the first argument.
                console.log('FileManager error: ' + text);
                job.resume();
            }
        };
        function later(name /* , args */) {
            var args = Array.prototype.slice.call(arguments, 1);
            setTimeout(function () {
                var fn = callbacks[name] || defaults[name];
                if (typeof fn === 'function')
                    fn.apply(job, args);
            }, 1);
        }
        function finish(url) {
            job.control = null;
            if (B._fmCurrent === job)
                B._fmCurrent = null;
            later('close', url);
            // The host clears its own run only after this call returns.
            setTimeout(startNext, 1);
        }
        var options = {
            onStart: function (count) { later('start', count); },
            onFile: function (file) { later('file', file); },
            onUploaded: function (file) { later('uploaded', file); },
            // The entry of the list the error is about, or null for none.
            onError: function (text, entry) { later('error', text, entry); },
            onClose: finish,
            onData: function (src, filter) { return B.templating(src, filter); }
        };
        var control = B.uploadBuildIn ? B.uploadBuildIn(job.url, job.list, options) : undefined;
        for (var i = 0; !control && i < B._fmUploaders.length; i++)
            control = B._fmUploaders[i](job.url, job.list, options);
        if (control) {
            if (B._fmCurrent === job)
                job.control = control;
            return;
        }
        later('error', 'No uploader accepts the destination ' + String(job.url).split(':')[0] + '.', null);
        finish('');
    }

    B.FileManager = function (list, url, callbacks) {
        var job = {
            list: list,
            url: url,
            callbacks: callbacks || {},
            control: undefined,
            pause: function () { if (this.control) this.control.pause(); },
            resume: function () { if (this.control) this.control.resume(); },
            exit: function () {
                if (this.control) {
                    this.control.exit();
                } else {
                    var at = B._fmQueue.indexOf(this);
                    if (at >= 0)
                        B._fmQueue.splice(at, 1);
                }
            }
        };
        B._fmQueue.push(job);
        startNext();
        return job;
    };
})();
