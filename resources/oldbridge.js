// Bridge implementation for QWebView version
(function () {
    'use strict';

    if (window.Bridge && window.Bridge._level0 === true)
        return;

    var host = window._Bridge_;

    // A download answer whose callback never gets stored is given up after this many tries.
    var DOWNLOAD_RETRIES = 50;

    function call(cb, value) {
        if (typeof cb === 'function')
            cb(value);
    }

    // The web view hands the host only the first argument of a console call, so
    // every line is put together here.
    function log(/* values */) {
        if (window.console && console.log)
            console.log(Array.prototype.join.call(arguments, ' '));
    }

    function pad2(n) {
        return (n < 10 ? '0' : '') + n;
    }

    // The screenshot name when the page brings no date formatter of its own.
    function stamp(d) {
        return d.getFullYear() + pad2(d.getMonth() + 1) + pad2(d.getDate()) + '_'
                + pad2(d.getHours()) + pad2(d.getMinutes()) + pad2(d.getSeconds());
    }

    function logError(text) {
        if (window.console && console.error)
            console.error(text);
    }

    var level0 = {
        _level0: true,
        appName: "@APP_NAME@",
        version: "@APP_VER@",
        dataLocation: "@DATA_LOCATION@",
        tempLocation: "@TEMP_LOCATION@",
        docLocation: "@DOC_LOCATION@",
        isDev: "@DEV@" === "true",
        onDrop: 0,
        onLoadRequest: 0,
        _uploadInstance: false,
        _screenResult: [],
        _download2_callbacks: {},

        getArgs: function (callback_args) {
            var args = JSON.parse(host.getArgs());
            call(callback_args, args);
        },
        getRecents: function (callback) {
            callback(host.getRecents());
        },
        runFileDialog: function (caption, dir, filter, callback_path) {
            callback_path(host.openFileDialog(caption, dir, filter));
        },
        saveLocalFile: function (path, data, callback_ok) {
            call(callback_ok, host.saveLocalFile(path, data));
        },
        loadLocalFile: function (path, callback) {
            callback(host.loadLocalFile(path));
        },
        copyLocal: function (src, dest, callback_newpath) {
            call(callback_newpath, host.copyLocal(src, dest));
        },
        removeLocal: function (url, callback_ok) {
            call(callback_ok, host.removeLocal(url));
        },
        isExistsLocal: function (url, callback_ok) {
            call(callback_ok, host.isExistsLocal(url));
        },
        dirList: function (url, callback_list, options) {
            if (!url) {
                call(callback_list, []);
                return;
            }
            options = options || {};
            var names = (options.names || ['*']).join(';');
            var recursive = ('recursive' in options) ? options.recursive : true;
            var text = host.dirList(url, names, options.filter || 1, recursive);
            call(callback_list, text ? text.split('\n') : []);
        },
        moveLocal: function (src, dest, callback_ok) {
            call(callback_ok, host.moveLocal(src, dest));
        },
        loadLocalBase64: function (url, callback) {
            callback(host.loadLocalBase64(url));
        },
        saveLocalBase64: function (url, data, callback_ok) {
            call(callback_ok, host.saveLocalBase64(url, data));
        },
        md5_base64: function (url, callback_md5) {
            call(callback_md5, host.md5_base64(url));
        },
        getProject: function (url, callback) {
            callback(host.getProjectFile(url));
        },
        resizeImage: function (src, width, height, keepAspectRatio, quality, format, callback) {
            callback(host.resizeImage(src, width, height, keepAspectRatio, quality, format));
        },
        transformImage: function (src, options, callback) {
            options = options || {};
            var fmt = options.format || src || '';
            var defaults = {
                width: -1,
                height: -1,
                keepAspectRatio: true,
                shrinkLarge: false,
                stretchSmall: false,
                quality: /png$/.test(fmt) ? 1 : 100,
                format: '',
                fillColor: ''
            };
            for (var key in defaults) {
                if (options[key] === undefined)
                    options[key] = defaults[key];
            }
            callback(host.transformImage(src, options.width || -1, options.height || -1,
                                         options.shrinkLarge, options.stretchSmall, options.keepAspectRatio,
                                         options.fillColor || '', options.quality || defaults.quality,
                                         options.format || ''));
        },
        regExportData: function (callback) {
            callback(host.regExportData());
        },
        regAddLocal: function (data) {
            host.regAddLocal(data);
        },
        regAddFtp: function (data) {
            host.regAddFtp(data);
        },
        regUpdateFtp: function (index, data) {
            host.regUpdateFtp(index, data);
        },
        regSetFtpFolder: function (data) {
            host.regSetFtpFolder(data);
        },
        getResourceFile: function (path, callback) {
            callback(host.getResourceFile(path));
        },
        testFtpLocation: function (url, callback) {
            callback(host.testFtpLocation(url));
        },
        // Ends the host's server call that is waiting (a connection test); false when none was.
        cancelFtpCall: function () {
            return typeof host.cancelFtpCall === 'function' ? !!host.cancelFtpCall() : false;
        },
        // The host's reason for the last failed connection test; empty when it gives none.
        lastError: function (callback) {
            var text = host.error;
            callback(text === undefined || text === null ? '' : String(text));
        },
        // Hosts before this slot cannot forget a server's identity: answer false then.
        canForgetFtpIdentity: function () {
            return typeof host.forgetFtpIdentity === 'function';
        },
        forgetFtpIdentity: function (location, callback_ok) {
            var ok = typeof host.forgetFtpIdentity === 'function' ? !!host.forgetFtpIdentity(location) : false;
            call(callback_ok, ok);
            return ok;
        },
        // The remembered identity of the server a location names, as text; '' when none
        // (and from hosts before this slot).
        ftpIdentityFingerprint: function (location, callback) {
            var text = typeof host.ftpIdentityFingerprint === 'function' ? host.ftpIdentityFingerprint(location) : '';
            text = text === undefined || text === null ? '' : String(text);
            call(callback, text);
            return text;
        },
        clearRecentData: function () {
            host.clearRecentData();
        },
        unzip: function (src_zip, dest_dir, callback_ok) {
            call(callback_ok, host.unzip(src_zip, dest_dir));
        },
        zip: function (src, dest_zip, callback_ok) {
            call(callback_ok, host.zip(src, dest_zip));
        },
        openUrl: function (url) {
            return host.openUrl(url);
        },
        setSettings: function (name, val) {
            host.setSettings(String(name), val);
        },
        getSettings: function (name, callback_val) {
            callback_val(host.getSettings(String(name)));
        },
        encode: function (data, callback_data) {
            call(callback_data, host.encode(data));
        },
        decode: function (data, callback_data) {
            call(callback_data, host.decode(data));
        },
        download: function (url, callback_url, headers) {
            call(callback_url, host.download(url, headers || {}));
        },
        download2: function (url, callback_url, headers) {
            var id = host['download2(QString,QVariantMap)'](url, headers || {});
            window.Bridge._download2_callbacks[id] = callback_url;
        },
        quit: function () {
            host.quit();
        },
        stopQuit: function () {
            host.stopQuit();
        },
        reload: function () {
            host.reloadWeb();
        },

        templating: function (filePath) {
            return filePath;
        },
        isValid: function () {
            return typeof window._Bridge_ !== 'undefined';
        },

        runImgFileDialog: function (caption, dir, options, callback) {
            options = options || {};
            var defaults = { width: -1, height: -1, keepAspectRatio: true, quality: 100, format: '' };
            for (var key in defaults) {
                if (options[key] === undefined)
                    options[key] = defaults[key];
            }
            window.Bridge.runFileDialog(caption, dir, 'Images (*.jpg *.jpeg *.png *.gif *.bmp *.tiff *.svg)',
                                        function (path) {
                if (!path || /(gif|svg)$/.test(path.toLowerCase())) {
                    call(callback, path);
                    return;
                }
                window.Bridge.transformImage(path, options, function (url) {
                    call(callback, url);
                });
            });
        },

        getScreen: function (callback_path, path, size, rect) {
            var B = window.Bridge;
            if (!path) {
                var now = new Date();
                path = B.tempLocation + '/screen'
                        + (B.dateFormat ? B.dateFormat(now, 'yyyyMMdd_hhmmss') : stamp(now)) + '.png';
            }
            size = size || [];
            rect = rect || [];
            B._screenResult.push(callback_path);
            host.getScreen(path, size[0] || 0, size[1] || 0,
                           rect[0] || 0, rect[1] || 0, rect[2] || 0, rect[3] || 0);
        },
        // The host serves screenshot requests in the order they were made, so the
        // oldest waiting callback is the one this answer belongs to.
        _screenReady: function (path) {
            var cb = window.Bridge._screenResult.shift();
            if (typeof cb === 'function')
                setTimeout(function () { cb(path); }, 1);
        },

        _dwFinished: function (id, url, tries) {
            var B = window.Bridge;
            var cb = B._download2_callbacks[id];
            if (!cb) {
                tries = (tries || 0) + 1;
                if (tries > DOWNLOAD_RETRIES) {
                    logError('Bridge.download2 no callback for ' + id);
                    return;
                }
                setTimeout(function () { B._dwFinished(id, url, tries); }, 100);
                return;
            }
            try {
                cb(url);
            } catch (e) {
                logError('Bridge.download2 callbacks,' + url);
            }
            if (id !== '' && id !== undefined && id !== null)
                B._download2_callbacks[id] = 0;
        },
        _dwError: function (id, error) {
            window.Bridge._dwFinished(id, '');
            log('_dwError', id, error);
        },

        exitPublish: function () {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.exit();
        },
        resumePublish: function () {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.resume();
        },
        pausePublish: function () {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.pause();
        },

        uploadBuildIn: function (url, list, options) {
            var schemes = ['file', 'ftp', 'ftps', 'sftp'];
            if (list === undefined && url === undefined)
                return schemes;
            var scheme = String(url).split(':')[0];
            if (schemes.indexOf(scheme) < 0)
                return;
            var B = window.Bridge;
            if (B._uploadInstance) {
                log('Error: dual start prevented');
                return;
            }
            list = list || [];
            options = (options && typeof options === 'object') ? options : {};
            var stopped = false;
            var noop = function () {};
            var inst = {
                emit: function (name /* , args */) {
                    try {
                        this[name].apply(this, Array.prototype.slice.call(arguments, 1));
                    } catch (e) {
                        // a failing hook must not stop the run
                    }
                },
                exit: function () {
                    stopped = true;
                    host.exitPublish();
                },
                resume: function () {
                    host.resumePublish();
                },
                pause: function () {
                    host.pausePublish();
                },
                onStart: options.onStart || noop,
                onFile: options.onFile || noop,
                onUploaded: options.onUploaded || noop,
                onError: options.onError || noop,
                onClose: options.onClose || noop,
                onData: options.onData || function () { return ''; }
            };
            B._uploadInstance = inst;
            inst.emit('onStart', list.length);

            // Which entry of the list each error is about: onError's second
            // argument, null when it is about none. An error the host answers
            // at once while the loop calls it for an entry is that entry's,
            // which then never reaches the worker. The worker reports the
            // entries handed to it in order: an entry's folder task, its
            // _fmFile, then _fmUploaded or its error; a batch of local writes
            // that fails names an earlier file again with _fmFile right before
            // its error, so entries are found by their destination.
            var handed = [];
            var handedAt = {};      // '#' + dest: its index in handed
            var sending = -1;       // the entry announced last, not yet done
            var following = 0;      // the entry a report without a start is about
            var calling = false;    // the loop is calling the host ...
            var callingFor = null;  // ... for this entry (null: for none)
            var refusedNow = false;
            function handedIndex(dest) {
                var i = handedAt['#' + dest];
                return i === undefined ? -1 : i;
            }
            function errorEntry() {
                if (calling) {
                    refusedNow = true;
                    return callingFor;
                }
                if (sending >= 0) {
                    // Its upload failed; the worker goes on with the next entry.
                    var failed = handed[sending];
                    following = sending + 1;
                    sending = -1;
                    return failed;
                }
                // A folder task, or the log-in before anything was sent.
                return following < handed.length ? handed[following] : null;
            }
            function callHost(entry, fn) {
                calling = true;
                callingFor = entry;
                refusedNow = false;
                try {
                    fn();
                } finally {
                    calling = false;
                }
                return !refusedNow;
            }

            var errorSeen = false;
            var onFile = inst.onFile, onUploaded = inst.onUploaded, onError = inst.onError;
            inst.onFile = function (file) {
                var i = handedIndex(file);
                if (i >= 0)
                    sending = i;
                onFile.call(inst, file);
            };
            inst.onUploaded = function (file) {
                var i = handedIndex(file);
                if (i >= 0) {
                    if (i === sending)
                        sending = -1;
                    following = i + 1;
                }
                onUploaded.call(inst, file);
            };
            inst.onError = function (text, entry) {
                errorSeen = true;
                onError.call(inst, text, arguments.length > 1 ? entry : errorEntry());
            };

            setTimeout(function () {
                var opened = false;
                callHost(null, function () { opened = host.initFileManager(url); });
                if (!opened) {
                    // The open run can only be left over from an earlier page (a
                    // reload while publishing), which nobody steers any more: end
                    // it, so the next attempt can start, and end this one here.
                    host.closeFileManager();
                    host.exitPublish();
                    if (!errorSeen)
                        inst.emit('onError', 'Error: a previous publishing run was still open; it has been stopped.\nPlease publish again.', null);
                    if (B._uploadInstance === inst)
                        B._uploadInstance = false;
                    inst.emit('onClose', '');
                    return;
                }
                for (var i = 0; i < list.length; i++) {
                    if (stopped)
                        return;
                    var entry = list[i];
                    if (!entry.srcList)
                        continue;
                    var accepted;
                    try {
                        accepted = callHost(entry, function () {
                            if (entry.srcList.length === 1) {
                                var one = entry.srcList[0];
                                if (one.filter)
                                    host.uploadData(entry.dest, inst.onData(one.src, one.filter));
                                else
                                    host.uploadFile(entry.dest, one.src);
                            } else {
                                host.initTempFile();
                                for (var k = 0; k < entry.srcList.length; k++) {
                                    var s = entry.srcList[k];
                                    if (s.filter)
                                        host.tmpAppendData(inst.onData(s.src, s.filter));
                                    else
                                        host.tmpAppendFile(s.src);
                                }
                                host.uploadTempFile(entry.dest);
                                host.closeTempFile();
                            }
                        });
                    } catch (e) {
                        // The open run is cancelled; its close arrives through _fmClose.
                        host.closeTempFile();
                        inst.emit('onError', 'Error: could not generate ' + entry.dest + '\n' + e, entry);
                        inst.exit();
                        return;
                    }
                    if (accepted) {
                        handedAt['#' + entry.dest] = handed.length;
                        handed.push(entry);
                    }
                }
                callHost(null, function () { host.closeFileManager(); });
            }, 0);
            return inst;
        },

        _fmFile: function (file) {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.emit('onFile', file);
        },
        _fmUploaded: function (file) {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.emit('onUploaded', file);
        },
        _fmError: function (error) {
            var inst = window.Bridge._uploadInstance;
            if (inst)
                inst.emit('onError', error);
        },
        _fmClose: function (destUrl) {
            var B = window.Bridge;
            var inst = B._uploadInstance;
            if (!inst)
                return;
            inst.emit('onClose', destUrl);
            if (B._uploadInstance === inst)
                B._uploadInstance = false;
        },
        _fmFileReady: function (data64) {
            log('_fmFileReady', data64);
        }
    };

    if (!window.Bridge)
        window.Bridge = {};
    for (var name in level0)
        window.Bridge[name] = level0[name];

    function onDropFiles(jsonFiles) {
        var B = window.Bridge;
        if (B.emit)
            B.emit('drop', JSON.parse(jsonFiles));
        if (B.onDrop)
            B.onDrop(JSON.parse(jsonFiles));
    }
    function onClose() {
        var B = window.Bridge;
        if (B.emit)
            B.emit('close');
        else
            B.quit();
    }
    function onFileManagerFinished(dest) {
        var B = window.Bridge;
        if (B.filemanagerCallback)
            B.filemanagerCallback(dest);
    }
    host.onDropFiles.connect(onDropFiles);
    host.onClose.connect(onClose);
    host.fileManagerFinished.connect(onFileManagerFinished);

    // Neither a run nor the signal connections may outlive the page: the host
    // would keep the run open for ever and call into a page that is gone.
    window.addEventListener('unload', function () {
        if (window.Bridge._uploadInstance)
            host.exitPublish();
        host.onDropFiles.disconnect(onDropFiles);
        host.onClose.disconnect(onClose);
        host.fileManagerFinished.disconnect(onFileManagerFinished);
    });
})();
