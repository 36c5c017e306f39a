// Publishing: the generated texts, the upload list, changes-only hashes, the publish
// dialog with the FTP site manager, and the progress display.
(function () {
    'use strict';

    var B = window.Bridge;
    var A = window.qlrApp;
    var $ = A.$;
    var el = A.el;

    var ASSET_ROOT = 'assets/quillary/';
    var CSS_NAME = 'qlr-additional.css';
    var CSS_DEST = ASSET_ROOT + 'css/' + CSS_NAME;
    var PROJECT = 'project.quillary';
    var HASHES = 'publish-hashes.json';
    var PAGE_EXT = /^(html|htm|shtml|php|php3|php4|php5|cgi)$/;
    var DEFAULT_PORTS = { ftp: '21', ftps: '21', sftp: '22' };
    var NEW_SITE = 'ftp://:@:21';

    var context = null;     // the site being published: { site, project, links }

    function esc(text) {
        return String(text === undefined || text === null ? '' : text)
            .replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');
    }

    function encodePath(rel) {
        return encodeURI(rel).replace(/#/g, '%23').replace(/\?/g, '%3F');
    }

    // A relative path that stays inside the destination.
    function safeRelative(path) {
        path = String(path || '');
        return path !== '' && path.charAt(0) !== '/' && path.indexOf('\\') < 0 &&
               path.split('/').every(function (part) { return part !== '' && part !== '.' && part !== '..'; });
    }

    function list(folder) {
        var found = [];
        B.dirList(folder, function (files) { found = files; });
        return found.filter(function (f) { return f; }).sort();
    }

    // Files of the plug-ins and of the theme, as published under assets/quillary/.
    A.collectAssets = function (folder) {
        var assets = [];
        list(folder + '/plugins').forEach(function (rel) {
            var cut = rel.indexOf('/');
            if (cut > 0)
                assets.push({ dest: ASSET_ROOT + rel.slice(cut + 1), src: folder + '/plugins/' + encodePath(rel) });
        });
        list(folder + '/theme').forEach(function (rel) {
            assets.push({ dest: ASSET_ROOT + rel, src: folder + '/theme/' + encodePath(rel) });
        });
        return assets.filter(function (a) { return safeRelative(a.dest); });
    };

    function unique(items) {
        var seen = {};
        return items.filter(function (x) {
            if (seen[x])
                return false;
            seen[x] = true;
            return true;
        });
    }

    function publishedLinks(assets) {
        var css = [];
        var theme = [];
        assets.forEach(function (a) {
            if (/\.css$/.test(a.dest))
                (a.src.indexOf('/theme/') >= 0 ? theme : css).push(a.dest);
        });
        return {
            css: unique(theme.concat(css)).concat([CSS_DEST]),
            js: unique(assets.filter(function (a) { return /\.js$/.test(a.dest); }).map(function (a) { return a.dest; }))
        };
    }

    // Collected styles of the site and its pages, their import rules first.
    A.additionalCss = function (project) {
        var imports = [];
        var rules = [];
        var parts = [project.settings.css || ''];
        project.pages.forEach(function (p) { parts.push(p.css || ''); });
        parts.forEach(function (text) {
            rules.push(String(text).replace(/@import[^;]*;[ \t]*\n?/g, function (rule) {
                imports.push(rule.trim());
                return '';
            }).trim());
        });
        return imports.concat(rules.filter(function (r) { return r; })).join('\n') + '\n';
    };

    A.pageHtml = function (project, page, links) {
        var s = project.settings;
        var title = page.title && s.title ? page.title + ' | ' + s.title : (page.title || s.title || '');
        var nav = project.pages.map(function (p) {
            return '<a href="' + esc(p.name) + '"' + (p === page ? ' class="active"' : '') + '>' +
                   esc(p.title || p.name) + '</a>';
        }).join('\n');
        var head = [
            '<!DOCTYPE html>',
            '<html lang="' + esc(s.lang || 'en') + '">',
            '<head>',
            '<meta charset="utf-8">',
            '<meta name="viewport" content="width=device-width, initial-scale=1">',
            '<title>' + esc(title) + '</title>'
        ];
        if (s.description)
            head.push('<meta name="description" content="' + esc(s.description) + '">');
        if (links.base)
            head.push('<base href="' + esc(links.base) + '">');
        links.css.forEach(function (href) { head.push('<link rel="stylesheet" href="' + esc(href) + '">'); });
        if (links.inlineCss)
            head.push('<style>\n' + links.inlineCss.replace(/<\//g, '<\\/') + '</style>');
        var body = [
            '</head>',
            '<body>',
            '<header class="qlr-header"><a class="qlr-brand" href="index.html">' + esc(s.title || '') + '</a>',
            '<nav class="qlr-nav">' + nav + '</nav></header>',
            '<main class="qlr-page">',
            page.html || '',
            '</main>',
            '<footer class="qlr-footer">' + esc(s.footer || '') + '</footer>'
        ];
        links.js.forEach(function (src) { body.push('<script src="' + esc(src) + '"></script>'); });
        body.push('</body>', '</html>', '');
        return head.concat(body).join('\n');
    };

    A.previewHtml = function (site, page) {
        var assets = A.collectAssets(site.folder);
        var css = assets.filter(function (a) { return /\.css$/.test(a.dest); })
                        .sort(function (a, b) { return (b.src.indexOf('/theme/') >= 0) - (a.src.indexOf('/theme/') >= 0); })
                        .map(function (a) { return a.src; });
        return A.pageHtml(site.project, page, {
            base: site.folder + '/', css: css, js: [], inlineCss: A.additionalCss(site.project)
        });
    };

    function makeContext(site) {
        return { site: site, project: site.project, links: publishedLinks(A.collectAssets(site.folder)) };
    }

    function findPage(project, name) {
        for (var i = 0; i < project.pages.length; i++) {
            if (project.pages[i].name === name)
                return project.pages[i];
        }
        return null;
    }

    // The published text for a source of the upload list.
    function templating(path) {
        var ctx = context || (A.currentSite() && makeContext(A.currentSite()));
        if (!ctx)
            return '';
        var text = String(path);
        var name = text.slice(text.lastIndexOf('/') + 1);
        var ext = name.slice(name.lastIndexOf('.') + 1).toLowerCase();
        if (PAGE_EXT.test(ext)) {
            var page = findPage(ctx.project, name);
            return page ? A.pageHtml(ctx.project, page, ctx.links) : '';
        }
        if (ext === 'json' || ext === 'quillary')
            return A.projectText(ctx.project);
        if (name.indexOf('css') >= 0)
            return A.additionalCss(ctx.project);
        if (name === 'kw.js')
            return 'window.qlrKeywords = ' + JSON.stringify(ctx.project.settings.keywords || []) + ';\n';
        return '';
    }
    A.templating = templating;

    function imagesOf(html) {
        var found = [];
        var re = /(?:src|href)\s*=\s*["']([^"']+)["']|url\(\s*["']?([^"')]+)["']?\s*\)/g;
        var m;
        while ((m = re.exec(String(html || ''))) !== null) {
            var ref = (m[1] || m[2]).replace(/&amp;/g, '&');
            if (ref.indexOf('assets/images/') === 0 && safeRelative(ref) && !/[?#]/.test(ref))
                found.push(ref);
        }
        return found;
    }

    // Upload order: each page's images and the page, the style sheet, plug-in and
    // theme files (sources of one destination joined), last the project file.
    A.buildUploadList = function (site) {
        var entries = [];
        var byDest = {};
        var skipped = [];
        function add(dest, src, filter) {
            var source = filter ? { src: src, filter: true } : { src: src };
            if (byDest[dest]) {
                byDest[dest].srcList.push(source);
                return;
            }
            byDest[dest] = { dest: dest, srcList: [source] };
            entries.push(byDest[dest]);
        }
        site.project.pages.forEach(function (page) {
            if (!safeRelative(page.name) || page.name.indexOf('/') >= 0) {
                skipped.push(String(page.name));
                return;
            }
            imagesOf(page.html).forEach(function (img) {
                if (!byDest[img])
                    add(img, site.folder + '/' + encodePath(img));
            });
            add(page.name, page.name, true);
        });
        add(CSS_DEST, CSS_NAME, true);
        A.collectAssets(site.folder).forEach(function (a) { add(a.dest, a.src); });
        add(PROJECT, PROJECT, true);
        entries.skipped = skipped;
        return entries;
    };

    // Hash of an entry: the joined MD5 of its sources; generated texts are hashed
    // through a scratch file so that unchanged pages are not sent again.
    function entryHash(entry) {
        var parts = [];
        var scratch = B.tempLocation + '/publish-hash.tmp';
        for (var i = 0; i < entry.srcList.length; i++) {
            var s = entry.srcList[i];
            var file = s.src;
            var hash = '';
            if (s.filter) {
                var saved = false;
                B.saveLocalFile(scratch, templating(s.src), function (ok) { saved = ok; });
                if (!saved)
                    return '';
                file = scratch;
            }
            B.md5_base64(file, function (h) { hash = h; });
            if (!hash)
                return '';
            parts.push((s.filter ? 'g:' : '') + hash);
        }
        return parts.join(',');
    }

    function loadHashes(folder) {
        var store = {};
        B.loadLocalFile(folder + '/' + HASHES, function (text) {
            try {
                store = JSON.parse(text) || {};
            } catch (e) {
                store = {};
            }
        });
        return typeof store === 'object' ? store : {};
    }

    // --- destinations

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

    function locationText(loc) {
        return loc.scheme + '://' + loc.user + ':' + loc.pass + '@' + loc.host + ':' +
               (loc.port || DEFAULT_PORTS[loc.scheme] || '21');
    }

    A.destinationUrl = function (loc, folder) {
        return locationText(loc) + '/' + String(folder || '').replace(/^\/+/, '');
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

    // --- the progress display

    var progress = {
        total: 0,
        count: 0,
        begin: function (count, shown) {
            this.total = count;
            this.count = 0;
            $('#progress-title').textContent = 'Publishing to ' + shown;
            $('#progress-file').textContent = 'Connecting…';
            $('#progress-count').textContent = '0 of ' + count + ' files';
            $('#progress-bar').style.width = '0%';
            A.show($('#progress-error'), false);
            A.show($('#progress-done'), false);
            A.show($('#progress-running'), true);
            A.show($('#progress'), true);
        },
        file: function (name) {
            this.count = Math.min(this.count + 1, this.total);
            $('#progress-file').textContent = name;
            $('#progress-count').textContent = this.count + ' of ' + this.total + ' files';
            $('#progress-bar').style.width = (this.total ? Math.round(100 * this.count / this.total) : 100) + '%';
        },
        showError: function (text) {
            // The text stays text; only its first line feed and the host's own
            // "<br>" separators become line breaks.
            var p = A.clear($('#progress-error-text'));
            var t = String(text);
            var cut = t.indexOf('\n');
            if (cut >= 0)
                t = t.slice(0, cut) + '<br>' + t.slice(cut + 1);
            t.split(/<br\s*\/?>/i).forEach(function (line, i) {
                if (i > 0)
                    p.appendChild(document.createElement('br'));
                p.appendChild(document.createTextNode(line));
            });
            A.show($('#progress-error'), true);
            A.show($('#progress-running'), false);
        },
        hideError: function () {
            A.show($('#progress-error'), false);
            A.show($('#progress-running'), true);
        },
        finish: function (title, text, failures, canOpen) {
            if (canOpen)
                $('#progress-bar').style.width = '100%';
            $('#progress-title').textContent = title;
            $('#progress-done-text').textContent = text;
            var ul = A.clear($('#progress-failed'));
            failures.forEach(function (f) {
                ul.appendChild(el('li', { text: (f.file ? f.file + ': ' : '') + f.text }));
            });
            A.show($('#btn-open-index'), canOpen);
            A.show($('#progress-error'), false);
            A.show($('#progress-running'), false);
            A.show($('#progress-done'), true);
        },
        hide: function () {
            A.show($('#progress'), false);
        }
    };

    var run = null;     // { job, dest, ignore, cancelled }

    // One line per failed file (a folder and its upload fail together), in order.
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

    // Publishes the current site to a destination URL (credentials in plain text).
    A.publish = function (destUrl, changesOnly) {
        var site = A.currentSite();
        if (!site || run)
            return false;
        context = makeContext(site);
        var key = A.withoutPassword(destUrl);
        var shown = /^file:/.test(key) ? A.displayPath(key) : key;
        var entries = A.buildUploadList(site);
        var store = loadHashes(site.folder);
        var old = store[key] || {};
        var hashes = {};
        entries.forEach(function (e) { hashes[e.dest] = entryHash(e); });
        var send = entries.filter(function (e) {
            return !changesOnly || !hashes[e.dest] || hashes[e.dest] !== old[e.dest];
        });
        var failures = entries.skipped.map(function (name) {
            return { file: name, text: 'not published: a page name must be a plain file name' };
        });
        var failed = {};
        var current = null;
        var state = run = { dest: destUrl, ignore: false, cancelled: false, sent: send.map(function (e) { return e.dest; }) };
        progress.begin(send.length, shown);
        state.job = B.FileManager(send, destUrl, {
            start: function () {},
            file: function (name) {
                current = name;
                progress.file(name);
            },
            uploaded: function () {},
            error: function (text) {
                if (current)
                    failed[current] = true;
                failures.push({ file: current, text: String(text).replace(/<br>/g, ' ') });
                if (state.ignore) {
                    state.job.resume();
                    return;
                }
                state.job.pause();
                progress.showError(text);
            },
            close: function (url) {
                context = null;
                run = null;
                if (!url) {
                    if (state.cancelled) {
                        progress.hide();
                    } else {
                        progress.finish('Publishing stopped', 'The site was not published completely to ' + shown + '.',
                                        distinctFailures(failures), false);
                    }
                    A.fire('uploadFilesComplete', '');
                    return;
                }
                var next = {};
                for (var k in old)
                    next[k] = old[k];
                send.forEach(function (e) {
                    if (failed[e.dest] || !hashes[e.dest])
                        delete next[e.dest];
                    else
                        next[e.dest] = hashes[e.dest];
                });
                store[key] = next;
                B.saveLocalFile(site.folder + '/' + HASHES, JSON.stringify(store, null, 1));
                var failedFiles = distinctFailures(failures);
                if (failedFiles.length)
                    progress.finish('Published with errors', 'The site was published to ' + shown +
                                    ', but these files failed:', failedFiles, true);
                else
                    progress.finish('Published', 'The site published successfully to ' + shown, [], true);
                A.fire('uploadFilesComplete', key);
            }
        });
        state.shown = shown;
        state.failures = failures;
        A.lastPublish = state;
        return true;
    };

    // --- the publish dialog

    var ftpItems = [];
    var ftpSelected = -1;

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
        var ul = A.clear($('#recent-publish'));
        readRecentPublish().forEach(function (url) {
            ul.appendChild(el('li', {
                text: A.displayPath(url),
                title: A.displayPath(url),
                onclick: function () { $('#local-folder').value = A.displayPath(url); }
            }));
        });
        if (!ul.firstChild)
            ul.appendChild(el('li', { className: 'empty', text: 'No folders yet' }));
    }

    function loadFtpSites(selectText) {
        var data = {};
        B.regExportData(function (d) { data = d || {}; });
        var ftp = data.ftpData || {};
        var seen = {};
        ftpItems = [];
        (ftp.location || []).forEach(function (text, index) {
            var shown = A.withoutPassword(text);
            if (seen[shown])
                return;
            seen[shown] = true;
            ftpItems.push({ index: index, text: String(text) });
        });
        $('#ftp-folder').value = ftp.folder || '';
        var at = -1;
        ftpItems.forEach(function (item, i) {
            if (selectText !== undefined && item.text === selectText && at < 0)
                at = i;
        });
        if (at < 0)
            at = Math.min(Math.max(ftpSelected, 0), ftpItems.length - 1);
        selectFtp(at);
    }

    function siteLabel(item) {
        var loc = A.parseLocation(item.text);
        if (!loc || !loc.host)
            return 'New site';
        return A.withoutPassword(locationText(loc)).replace(/\/$/, '');
    }

    function renderFtpList() {
        var ul = A.clear($('#ftp-list'));
        ftpItems.forEach(function (item, i) {
            ul.appendChild(el('li', {
                className: i === ftpSelected ? 'current' : '',
                text: siteLabel(item),
                onclick: function () { selectFtp(i); }
            }));
        });
        if (!ftpItems.length)
            ul.appendChild(el('li', { className: 'empty', text: 'No sites yet: add one' }));
    }

    function selectFtp(i) {
        ftpSelected = i;
        var item = ftpItems[i];
        var loc = item ? A.parseLocation(item.text) : null;
        loc = loc || { scheme: 'ftp', host: '', port: '', user: '', pass: '' };
        $('#ftp-scheme').value = DEFAULT_PORTS[loc.scheme] ? loc.scheme : 'ftp';
        $('#ftp-host').value = loc.host;
        $('#ftp-port').value = loc.port;
        $('#ftp-user').value = loc.user;
        $('#ftp-pass').value = loc.pass;
        $('#ftp-test-result').textContent = '';
        ['#ftp-scheme', '#ftp-host', '#ftp-port', '#ftp-user', '#ftp-pass', '#btn-ftp-test', '#btn-ftp-remove']
            .forEach(function (s) { $(s).disabled = !item; });
        renderFtpList();
    }

    function formLocation() {
        return {
            scheme: $('#ftp-scheme').value,
            host: $('#ftp-host').value.trim(),
            port: $('#ftp-port').value.trim(),
            user: $('#ftp-user').value,
            pass: $('#ftp-pass').value
        };
    }

    function ftpEdited() {
        var item = ftpItems[ftpSelected];
        if (!item)
            return;
        var text = locationText(formLocation());
        // The stored position of the site, not its place in the shown list.
        B.regUpdateFtp(item.index, text);
        item.text = text;
        renderFtpList();
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
        $('#publish-problem').textContent = text;
        A.show($('#publish-problem'), true);
    }

    A.openPublishDialog = function () {
        if (!A.currentSite() || run)
            return;
        var recent = readRecentPublish();
        if (!$('#local-folder').value && recent.length)
            $('#local-folder').value = A.displayPath(recent[0]);
        renderRecentPublish();
        loadFtpSites();
        loadGitHub();
        A.show($('#publish-problem'), false);
        A.show($('#publish-dialog'), true);
    };

    function startPublish() {
        var pane = currentPane();
        var dest;
        if (pane === 'pane-local') {
            var folder = $('#local-folder').value.trim();
            if (!folder) {
                problem('Choose the folder to publish into.');
                return;
            }
            dest = A.toFileUrl(folder).replace(/(.)\/+$/, '$1');
            if (!/^file:/.test(dest)) {
                problem('The folder must be an absolute path.');
                return;
            }
            writeRecentPublish(dest);
        } else if (pane === 'pane-ftp') {
            var item = ftpItems[ftpSelected];
            var loc = item && A.parseLocation(item.text);
            if (!loc || !loc.host) {
                problem('Choose a server, or add one and fill in its host.');
                return;
            }
            dest = A.destinationUrl(loc, $('#ftp-folder').value);
        } else {
            return;
        }
        A.show($('#publish-dialog'), false);
        A.saveSite(function () {
            A.publish(dest, $('#opt-changes').checked);
        });
    }

    A.on('load', function () {
        B.templating = templating;

        $('#btn-publish').addEventListener('click', A.openPublishDialog);
        Array.prototype.forEach.call(document.querySelectorAll('#publish-dialog .tab'), function (tab) {
            tab.addEventListener('click', function () { showPane(tab.getAttribute('data-pane')); });
        });
        $('#btn-publish-cancel').addEventListener('click', function () { A.show($('#publish-dialog'), false); });
        $('#btn-publish-go').addEventListener('click', startPublish);
        $('#btn-choose-folder').addEventListener('click', function () {
            var start = $('#local-folder').value.trim();
            B.runFileDialog('Choose the folder to publish into', start ? A.toFileUrl(start) : B.docLocation, 'dir',
                            function (url) {
                if (url)
                    $('#local-folder').value = A.displayPath(url);
            });
        });

        $('#btn-ftp-add').addEventListener('click', function () {
            var exists = ftpItems.some(function (item) { return item.text === NEW_SITE; });
            if (!exists)
                B.regAddFtp({ location: NEW_SITE, folder: $('#ftp-folder').value });
            loadFtpSites(NEW_SITE);
            $('#ftp-host').focus();
        });
        $('#btn-ftp-remove').addEventListener('click', function () {
            var item = ftpItems[ftpSelected];
            if (!item)
                return;
            B.regUpdateFtp(item.index, '');
            loadFtpSites();
        });
        ['#ftp-host', '#ftp-port', '#ftp-user', '#ftp-pass'].forEach(function (s) {
            $(s).addEventListener('change', ftpEdited);
        });
        $('#ftp-scheme').addEventListener('change', function () {
            var port = $('#ftp-port').value.trim();
            var scheme = $('#ftp-scheme').value;
            var known = Object.keys(DEFAULT_PORTS).some(function (k) { return DEFAULT_PORTS[k] === port; });
            if (!port || known)
                $('#ftp-port').value = scheme === 'ftps' && port === '990' ? '990' : DEFAULT_PORTS[scheme];
            ftpEdited();
        });
        $('#ftp-folder').addEventListener('keyup', function () { B.regSetFtpFolder($('#ftp-folder').value); });
        $('#btn-ftp-test').addEventListener('click', function () {
            var item = ftpItems[ftpSelected];
            if (!item)
                return;
            var result = $('#ftp-test-result');
            result.className = 'muted';
            result.textContent = 'Testing…';
            var dest = A.destinationUrl(formLocation(), $('#ftp-folder').value);
            // The test blocks the window; let the text show first.
            setTimeout(function () {
                B.testFtpLocation(dest, function (ok) {
                    result.className = ok ? 'ok' : 'problem';
                    result.textContent = ok ? 'Connection succeeded' : 'Connection failed';
                });
            }, 30);
        });
        ['#gh-account', '#gh-token', '#gh-repo'].forEach(function (s) {
            $(s).addEventListener('change', saveGitHub);
        });

        $('#btn-err-continue').addEventListener('click', function () {
            progress.hideError();
            if (run)
                run.job.resume();
        });
        $('#btn-err-ignore').addEventListener('click', function () {
            progress.hideError();
            if (run) {
                run.ignore = true;
                run.job.resume();
            }
        });
        $('#btn-err-cancel').addEventListener('click', function () {
            progress.hide();
            if (run) {
                run.cancelled = true;
                run.job.exit();
            }
        });
        $('#btn-progress-cancel').addEventListener('click', function () {
            progress.hide();
            if (run) {
                run.cancelled = true;
                run.job.exit();
            }
        });
        $('#btn-done-close').addEventListener('click', progress.hide);
        $('#btn-open-index').addEventListener('click', function () {
            if (A.lastPublish)
                B.openUrl(A.indexUrl(A.lastPublish.dest));
        });
    });
})();
