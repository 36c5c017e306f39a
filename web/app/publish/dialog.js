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

    // What is wrong with a server location's host and port before anything
    // connects; empty when nothing is. A host with spaces, a scheme or a folder
    // in it would reach the network library as a malformed address.
    function hostProblem(loc) {
        var host = String(loc.host || '');
        if (!host)
            return 'Fill in the host: the name or address of the server, such as ftp.example.com.';
        var label = '[0-9A-Za-z\u00a1-\uffff]([0-9A-Za-z\u00a1-\uffff-]{0,61}[0-9A-Za-z\u00a1-\uffff])?';
        var name = new RegExp('^' + label + '(\\.' + label + ')*\\.?$').test(host) && host.length <= 253;
        var ipv6 = /^\[?[0-9A-Fa-f:.]+\]?$/.test(host) && host.indexOf(':') >= 0;
        if (!name && !ipv6) {
            return 'The host "' + host + '" is not a server name or address. Write only the name, such as ' +
                   'ftp.example.com, or the address, such as 192.0.2.10: no "ftp://" before it, no port, folder or ' +
                   'spaces in it.';
        }
        var port = String(loc.port || '');
        if (port && !(/^\d{1,5}$/.test(port) && +port >= 1 && +port <= 65535))
            return 'The port "' + port + '" is not a number from 1 to 65535.';
        return '';
    }

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

    // --- what went wrong, in plain words

    function oneLine(text) {
        return String(text === undefined || text === null ? '' : text)
            .replace(/<br\s*\/?>/gi, ' ').replace(/\s+/g, ' ').trim();
    }

    // The host's error texts are a message and, after "<br>", the path it was about;
    // the page names the file itself, so only the message counts.
    function hostMessage(text) {
        var t = String(text === undefined || text === null ? '' : text);
        var cut = t.search(/<br\s*\/?>/i);
        return oneLine(cut >= 0 ? t.slice(0, cut) : t);
    }

    // The host's error texts come from its file managers; the known ones get words
    // that say what to do. `fatal` errors stop every later file the same way.
    // `action` is what was being done: 'test' for a connection test, else a publish.
    // The result's `note` is what may follow the words: the server's own reply, or
    // the host's technical text when the words are only general; empty otherwise.
    A.explainError = function (text, server, file, action) {
        var t = hostMessage(text);
        var where = server || 'the destination';
        var testing = action === 'test';
        var what = file && !testing ? ' ' + file : '';
        var again = testing ? 'test again' : 'publish again';
        // [match, kind, fatal, reason, advice]
        var rules = [
            [/identity/i, 'identity', true,
             'The identity of ' + where + ' has changed since the last connection.',
             'This happens when a server is reinstalled or moved, but also when someone intercepts the connection. ' +
             'If you know the server changed, use "Forget server identity" in the site manager; otherwise ask your ' +
             'host before publishing.'],
            [/not accepted and we failed to login|login denied|login incorrect|authentication fail|No such user|refused the user name or password|\b530\b/i,
             'login', true,
             where + ' did not accept the user name or password.', 'Check them in the site manager and ' + again + '.'],
            [/SSL level failed|connecting with SSL|\bTLS\b/i, 'tls', true,
             where + ' refused the secure (TLS) connection.',
             'If your host offers no FTPS, choose FTP or SFTP; otherwise check the port.'],
            [/Could not resolve host|server name is unknown/i, 'nohost', true,
             'The server name of ' + where + ' could not be found.', 'Check the host name and that you are online.'],
            [/Could not connect|timeout time was reached|timed out|Failure in receiving network data|Failed sending network data|Socket is not ready|No connection available|stalled|not answer|No answer|No complete answer/i,
             'noanswer', false,
             'No answer from ' + where + '.', 'Check the host and port and that you are online, then try again.'],
            [/Permission problem|Remote access denied|Quote command failure|Can't create path|Can't create file|Permission denied/i,
             'permission', false,
             testing ? 'Permission problem: ' + where + ' refused access.' :
                       'Permission problem: ' + where + ' refused to store' + (what || ' the file') + '.',
             'Check the folder and your rights to write there.'],
            [/Out of disk space|No space left/i, 'space', false, where + ' is out of disk space.', ''],
            [/Error writing to file|Write error|partial file/i, 'write', false,
             'Writing' + (what || ' the file') + ' to ' + where + ' failed part way.', ''],
            [/File not exists|Error open file|Can't read source file|could not generate/i, 'source', false,
             'A file of the site could not be read' + (what ? ' for' + what : '') + '.', ''],
            [/previous publishing run|run is still open/i, 'busy', true,
             'An earlier publishing run was still open; it has been stopped.', 'Publish again.'],
            [/Can't publish to this destination|No destination|Not an FTP, FTPS or SFTP address/i, 'destination', true,
             'This destination cannot be published to.', 'Choose another folder or server.']
        ];
        var short = {
            identity: 'server identity changed', login: 'user name or password not accepted', tls: 'TLS refused',
            nohost: 'server name not found', noanswer: 'no answer from the server', permission: 'permission problem',
            space: 'out of disk space', write: 'writing broke off', source: 'could not be read',
            busy: 'an earlier run was still open', destination: 'destination refused'
        };
        function capital(s) {
            return s.charAt(0).toUpperCase() + s.slice(1);
        }
        // An FTP reply as the server wrote it starts with its three-digit code.
        var said = /^[1-5]\d\d[ -]\S/.test(t);
        // A whole sentence of the host's own (a refused identity, "No answer from
        // 127.0.0.1:21: the connection was refused ...") already names the reason.
        var sentence = !said && /^[A-Z0-9].{15,}[.!]$/.test(t);
        var note = said ? 'The server said: ' + t : '';
        // The host's sentences for these say what failed, not what to do.
        var ADVISE_AFTER_HOST = { login: true, tls: true, nohost: true, noanswer: true };
        for (var i = 0; i < rules.length; i++) {
            var r = rules[i];
            if (!r[0].test(t))
                continue;
            var plain;
            if (sentence)
                plain = ADVISE_AFTER_HOST[r[1]] ? t + ' ' + r[4] : t;
            else
                plain = capital(r[3]) + (r[4] ? ' ' + r[4] : '');
            return { kind: r[1], fatal: r[2], plain: plain, detail: t, note: note, said: said, short: short[r[1]] };
        }
        var failed = testing ? 'The connection to ' + where + ' failed.' :
                               'Sending' + (what || ' a file') + ' to ' + where + ' failed.';
        if (sentence)
            failed = t;
        else if (!t)
            failed += ' No reason was given.';
        else if (!said)
            note = 'Details: ' + t;
        return { kind: 'other', fatal: false, plain: capital(failed), detail: t, note: note, said: said,
                 short: t.length > 90 ? t.slice(0, 88) + '…' : (t || 'failed') };
    };

    function plural(n, one, many) {
        return n + ' ' + (n === 1 ? one : many);
    }

    // --- the progress display

    var progress = {
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
                    if (run && !run.cancelled) {
                        askStop();
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

    var run = null;     // the running publish, see A.publish

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

    function folderOf(path) {
        var at = String(path).lastIndexOf('/');
        return at > 0 ? path.slice(0, at) : '';
    }

    // --- who published where

    function settingsKey(prefix, text) {
        return prefix + '/' + encodeURIComponent(String(text));
    }

    function readJsonSetting(name) {
        var value = null;
        B.getSettings(name, function (v) { value = v; });
        if (!value)
            return null;
        try {
            var parsed = JSON.parse(String(value));
            return parsed && typeof parsed === 'object' ? parsed : null;
        } catch (e) {
            return null;
        }
    }

    // A site's own identity, kept in its project file: which site wrote a destination.
    A.siteId = function (site) {
        var s = site.project.settings;
        if (!s.siteId)
            s.siteId = 'site-' + new Date().getTime().toString(36) + '-' + Math.random().toString(36).slice(2, 10);
        return s.siteId;
    };

    function destinationOnly(rec) {
        return rec.type === 'local' ? { type: 'local', url: String(rec.url || '') } :
                                      { type: 'ftp', location: String(rec.location || ''), folder: String(rec.folder || '') };
    }

    // What this site knows of its destinations, kept with the site (no password):
    // type with url, or location and folder: the destination chosen last, offered
    // next time; `server`: the server entry it used last; `servers`: for each server
    // entry, the folder this site publishes to there; `published`: the destination
    // that last received every file, absent when none did.
    A.siteDestination = function (site) {
        var rec = readJsonSetting(settingsKey('SiteDestination', site.folder));
        if (!rec)
            return null;
        if (!rec.servers || typeof rec.servers !== 'object') {
            // Written before a run by an earlier version, which knew no more.
            rec.servers = {};
            if (rec.type === 'ftp' && rec.location)
                rec.servers[rec.location] = String(rec.folder || '');
            if (rec.type === 'ftp' || rec.type === 'local')
                rec.published = destinationOnly(rec);
        }
        if (!rec.server && rec.type === 'ftp')
            rec.server = rec.location;
        return rec;
    };

    function writeSiteDestination(site, rec) {
        B.setSettings(settingsKey('SiteDestination', site.folder), JSON.stringify(rec));
    }

    // The destination chosen for a run: offered again next time, whatever the run does.
    function rememberChoice(site, choice) {
        var rec = A.siteDestination(site) || { servers: {} };
        var next = destinationOnly(choice);
        next.servers = rec.servers;
        next.server = rec.server;
        if (rec.published)
            next.published = rec.published;
        if (choice.type === 'ftp') {
            next.servers[choice.location] = next.folder;
            next.server = choice.location;
        }
        writeSiteDestination(site, next);
    }

    function rememberPublished(site, choice) {
        var rec = A.siteDestination(site);
        if (!rec)
            return;
        rec.published = destinationOnly(choice);
        writeSiteDestination(site, rec);
    }

    // The folder this site publishes to on a server entry; empty when none.
    function siteFolderOn(rec, shown) {
        return rec && rec.servers && Object.prototype.hasOwnProperty.call(rec.servers, shown) ?
               String(rec.servers[shown] || '') : '';
    }

    // A run that did not send every file, kept with its site until one does:
    // { dest (no password), title, total, sent, notSent (the first names), notSentCount,
    //   end: 'running' (written at the start: the program ended during the run),
    //   'closed' (stopped to close the window), 'stopped', 'errors' or 'failed' }.
    A.unfinishedRun = function (site) {
        return readJsonSetting(settingsKey('PublishRun', site.folder));
    };

    function writeUnfinishedRun(site, note) {
        B.setSettings(settingsKey('PublishRun', site.folder), note ? JSON.stringify(note) : '');
    }

    // The site that last wrote a destination (its URL without password).
    A.destinationOwner = function (key) {
        return readJsonSetting(settingsKey('PublishOwner', key));
    };

    function rememberOwner(key, site) {
        B.setSettings(settingsKey('PublishOwner', key), JSON.stringify({
            id: A.siteId(site), title: site.project.settings.title || '', folder: site.folder
        }));
    }

    // The project file published in a local destination folder, or null.
    function publishedProjectAt(destUrl) {
        var file = destUrl.replace(/\/+$/, '') + '/' + PROJECT;
        var exists = false;
        B.isExistsLocal(file, function (ok) { exists = ok; });
        if (!exists)
            return null;
        var project = null;
        B.loadLocalFile(file, function (text) { project = A.parseProject(text); });
        return project || { settings: {}, unreadable: true };
    }

    // The project file published in a server folder, read through the host (which
    // waits for the server off the window's thread, with a deadline): the project,
    // { settings: {}, unreadable: true } for a file that is no project, null when the
    // server has no such file, or { unknown: reason } when it could not be asked (the
    // host then says why).
    function publishedProjectOnServer(destUrl) {
        var text = '';
        B.getProject(destUrl.replace(/\/+$/, '') + '/' + PROJECT, function (t) { text = t ? String(t) : ''; });
        if (!text) {
            var reason = '';
            if (B.lastError)
                B.lastError(function (t) { reason = t; });
            return reason ? { unknown: reason } : null;
        }
        return A.parseProject(text) || { settings: {}, unreadable: true };
    }

    // What the host's last server call was refused for, explained: { kind, plain },
    // or null when it gave no reason.
    function lastRefusal(loc) {
        var reason = '';
        if (B.lastError)
            B.lastError(function (t) { reason = t; });
        var server = 'the server ' + A.withoutPassword(locationText(loc)).replace(/^[a-z]+:\/\/([^@\/]*@)?/, '')
                .replace(/\/$/, '');
        return reason ? A.explainError(reason, server) : null;
    }

    // Whether the destination holds another site, and whether this site's record of
    // what it published there can still be trusted for a changes-only run. A local
    // folder is looked into here; for a server folder the caller hands in what
    // publishedProjectOnServer found there: without a project file of this site
    // there, nothing the record says is on the server can be relied on.
    // A site folder copied from another keeps its identity; the folder that
    // published tells the two apart.
    A.destinationState = function (site, destUrl, serverProject) {
        var key = A.withoutPassword(destUrl);
        var id = A.siteId(site);
        var owner = A.destinationOwner(key);
        var ownerIsThis = !!owner && owner.id === id && (!owner.folder || A.samePath(owner.folder, site.folder));
        var copyWrote = !!owner && owner.id === id && !ownerIsThis;
        var state = { other: '', otherFolder: '', trusted: ownerIsThis };
        if (owner && !ownerIsThis) {
            state.other = owner.title || A.displayPath(owner.folder || '') || 'another site';
            if (copyWrote)
                state.otherFolder = A.displayPath(owner.folder);
        }
        function judge(there) {
            var s = there.settings;
            if (s.siteId) {
                if (s.siteId === id) {
                    if (!copyWrote)
                        state.other = '';
                } else {
                    state.other = s.title || 'another site';
                    state.otherFolder = '';
                    state.trusted = false;
                }
            } else if (there.unreadable) {
                if (!state.trusted)
                    state.other = state.other || 'another site';
                state.trusted = false;
            } else if ((s.title || '') !== (site.project.settings.title || '')) {
                // Written by a version that kept no identity: the title tells sites apart.
                state.other = s.title || 'another site';
                state.trusted = false;
            }
        }
        if (/^file:/i.test(destUrl)) {
            var there = publishedProjectAt(destUrl);
            if (!there) {
                // Emptied, or never published: nothing there matches the record.
                state.trusted = false;
            } else if (!there.settings.siteId && !there.unreadable) {
                if (!state.trusted)
                    state.other = there.settings.title || 'another site';
            } else {
                judge(there);
            }
        } else if (!serverProject) {
            state.trusted = false;
        } else {
            judge(serverProject);
        }
        return state;
    };

    // --- a publishing run

    // The identity (key fingerprint) this computer remembers for the server of a
    // location: empty when none, for plain FTP, or when the host cannot tell.
    function rememberedIdentity(location) {
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
    }

    function learntIdentityText(server, identity) {
        return 'First connection to ' + server + ': its identity ' + identity + ' is remembered from now on. ' +
               'Compare it with the one your host publishes.';
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
        if (!site || run)
            return false;
        opts = opts || {};
        context = makeContext(site);
        var key = A.withoutPassword(destUrl);
        var shown = /^file:/.test(key) ? A.displayPath(key) : key;
        var parsed = /^file:/.test(key) ? null : A.parseLocation(destUrl);
        var server = parsed ? 'the server ' + parsed.host + (parsed.port ? ':' + parsed.port : '') : 'the folder ' + shown;
        var choice = opts.choice || (parsed ? { type: 'ftp', location: shownLocation(locationText(parsed)), folder: parsed.path } :
                                              { type: 'local', url: destUrl });
        var identityBefore = 'identityBefore' in opts ? opts.identityBefore : rememberedIdentity(destUrl);
        var entries = A.buildUploadList(site);
        var store = loadHashes(site.folder);
        var old = fresh ? {} : (store[key] || {});
        var hashes = {};
        entries.forEach(function (e) { hashes[e.dest] = entryHash(e); });
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
            B.saveLocalFile(site.folder + '/' + HASHES, JSON.stringify(store, null, 1));
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
                rememberOwner(key, site);
                ownerWritten = true;
            }
            var missing = order.filter(function (d) { return status[d] !== 'sent'; });
            note.sent = sentCount;
            note.notSent = missing.slice(0, NAMES_KEPT);
            note.notSentCount = missing.length;
            writeUnfinishedRun(site, note);
        }
        var failures = entries.skipped.map(function (name) {
            return { file: name, text: 'not published', plain: 'not published: a page name must be a plain file name',
                     short: 'not published: a page name must be a plain file name', kind: 'name' };
        });
        var status = {};        // dest -> 'sent' | 'failed'
        var cur = null;         // the file whose upload was announced last
        var curSure = false;    // its upload was confirmed by the host
        var pending = null;     // an error that belongs to the task after cur (a folder, the log-in)
        // A generated text gets no confirmation of its own. One error after it, before
        // the next file starts, may be its upload's or the next file's folder's: what
        // the next file does tells which. { dest, next, stage: 'wait' | 'next', failure }
        var uncertain = null;
        var generated = {};
        send.forEach(function (e) {
            generated[e.dest] = e.srcList.length !== 1 || !!e.srcList[0].filter;
        });
        var sentCount = 0;
        var failedCount = 0;
        var state = run = {
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
            progress.counts(sentCount, failedCount);
            checkpoint(false);
        }

        function record(dest, text) {
            var explained = A.explainError(text, server, dest);
            var f = { file: dest, text: oneLine(text), plain: explained.plain, detail: explained.detail,
                      short: explained.short, kind: explained.kind };
            failures.push(f);
            return explained;
        }

        function resolveUncertain(arrived) {
            var u = uncertain;
            uncertain = null;
            if (!u)
                return;
            if (arrived) {
                // The error was the next file's folder's.
                if (u.failure)
                    u.failure.file = u.next;
                mark(u.dest, 'sent');
            } else {
                mark(u.dest, 'failed');
            }
        }

        function nextAfter(dest) {
            var at = order.indexOf(dest);
            return at >= 0 && at + 1 < order.length ? order[at + 1] : (dest === null ? order[0] : null);
        }

        writeUnfinishedRun(site, note);
        saveHashes();
        progress.begin(send.length, shown);
        state.job = B.FileManager(send, destUrl, {
            start: function () {},
            file: function (name) {
                if (uncertain) {
                    if (uncertain.stage === 'wait' && name === uncertain.next)
                        uncertain.stage = 'next';
                    else
                        resolveUncertain(false);    // the next file went through: the error was the upload's
                }
                // The host starts a file only after the one before it is done: no
                // error since its start means it arrived whole.
                if (cur && cur !== name && !curSure && !status[cur] && !(uncertain && uncertain.dest === cur))
                    mark(cur, 'sent');
                if (pending && !status[name]) {
                    // The folder of this file could not be made; the upload may still go through.
                    state.folderError = pending;
                }
                pending = null;
                cur = name;
                curSure = false;
                progress.file(name);
            },
            uploaded: function (name) {
                if (uncertain && uncertain.stage === 'next' && name === uncertain.next)
                    resolveUncertain(false);
                if (name === cur)
                    curSure = true;
                mark(name, 'sent');
            },
            error: function (text) {
                var dest = null;
                var t = oneLine(text);
                var unsure = null;
                if (uncertain && uncertain.stage === 'wait') {
                    // A second error before the next file: the first was the upload's own,
                    // this one the next file's folder's.
                    resolveUncertain(false);
                    dest = nextAfter(cur);
                } else if (uncertain && uncertain.stage === 'next' && cur === uncertain.next && !curSure && !status[cur]) {
                    // The next file failed too, after its folder did: the one before arrived.
                    resolveUncertain(true);
                    dest = cur;
                    mark(cur, 'failed');
                } else if (cur && !curSure && !status[cur]) {
                    var next = nextAfter(cur);
                    var nextFolder = next ? folderOf(next) : '';
                    // The task after an upload is the next file's folder. A file upload is
                    // confirmed before that runs; a generated text is not. An error that
                    // names the folder, not the file, is the folder's.
                    if (t.indexOf(cur) >= 0 || !nextFolder || !generated[cur]) {
                        dest = cur;
                        mark(cur, 'failed');
                    } else if (t.indexOf(nextFolder) >= 0) {
                        mark(cur, 'sent');
                        dest = next;
                    } else {
                        dest = cur;
                        unsure = uncertain = { dest: cur, next: next, stage: 'wait', failure: null };
                    }
                } else {
                    dest = nextAfter(cur);
                }
                var explained = record(dest, text);
                if (unsure)
                    unsure.failure = failures[failures.length - 1];
                if (dest !== cur || unsure)
                    pending = explained;
                if (state.cancelled)
                    return;
                if (explained.fatal) {
                    // Every later file would fail the same way: end the run here.
                    state.fatal = explained;
                    progress.hideError();
                    state.job.exit();
                    return;
                }
                if (state.ignore) {
                    state.job.resume();
                    return;
                }
                state.job.pause();
                progress.showError(explained);
            },
            close: function (url) {
                context = null;
                run = null;
                // Unresolved to the end: not confirmed, so not counted as arrived.
                resolveUncertain(false);
                // A normal end: the last file started had no error, so it arrived.
                var cutOff = null;
                if (cur && !curSure && !status[cur]) {
                    if (url && !state.fatal)
                        mark(cur, 'sent');
                    else if (state.cancelled)
                        cutOff = cur;
                }
                var notSent = order.filter(function (d) { return !status[d] && d !== cutOff; });
                var failedFiles = distinctFailures(failures.filter(function (f) {
                    return f.file ? status[f.file] === 'failed' || (!status[f.file] && f.file !== cutOff) : true;
                }));

                // What this destination now holds of this site: files sent keep their hash;
                // files failed, cut off or not sent are left out so the next run sends them.
                saveHashes();
                if (sentCount > 0)
                    rememberOwner(key, site);

                var indexSent = status['index.html'] === 'sent' ||
                                (order.indexOf('index.html') < 0 && !!old['index.html'] && sentCount + failedCount > 0 &&
                                 !notSent.length && !failedCount);
                state.indexSent = indexSent;
                state.sentFiles = order.filter(function (d) { return status[d] === 'sent'; });
                state.failedFiles = order.filter(function (d) { return status[d] === 'failed'; });
                state.notSent = notSent;
                state.cutOff = cutOff;
                // Trust on first use: the identity the server showed is the one kept from now on.
                var identityNow = parsed ? rememberedIdentity(destUrl) : '';
                var learnt = !identityBefore && identityNow ? learntIdentityText(server, identityNow) : '';
                function finish(outcome, title, text, more, noteText, failedList, canOpen) {
                    progress.finish(outcome, title, text, more && learnt ? more + ' ' + learnt : more || learnt,
                                    noteText, failedList, canOpen);
                }
                var fatal = state.fatal;
                var reason = fatal || (failures.length ? A.explainError(failures[failures.length - 1].text, server,
                                                                          failures[failures.length - 1].file) : null);
                if (state.cancelled) {
                    var parts = [plural(sentCount, 'file', 'files') + ' sent'];
                    if (cutOff)
                        parts.push(cutOff + ' was cut off');
                    if (failedCount)
                        parts.push(failedCount + ' failed');
                    parts.push(plural(notSent.length, 'file', 'files') + ' not sent');
                    state.outcome = 'stopped';
                    finish('stopped', 'Publishing stopped',
                                    'You stopped publishing to ' + shown + ': ' + parts.join(', ') + '.',
                                    notSent.length || cutOff ? 'Publish again to send the rest.' : '',
                                    '', failedFiles, indexSent);
                } else if (sentCount === 0 && (failures.length || !url)) {
                    state.outcome = 'failed';
                    finish('failed', 'Publishing failed',
                                    'Publishing failed: nothing was sent to ' + shown + '.',
                                    reason ? reason.plain : 'The publishing run ended before any file was sent.',
                                    reason ? reason.note : '', fatal ? [] : failedFiles, false);
                } else if (failedCount || notSent.length || failedFiles.length || !url) {
                    state.outcome = 'errors';
                    var more = plural(sentCount, 'file', 'files') + ' sent, ' + failedCount + ' failed' +
                               (notSent.length ? ', ' + notSent.length + ' not sent' : '') + '.';
                    // Each distinct reason once, in words that say what to do.
                    var advice = [];
                    (fatal ? [fatal] : failedFiles).forEach(function (f) {
                        if (f.plain && advice.indexOf(f.plain) < 0 && advice.length < 3)
                            advice.push(f.plain);
                    });
                    advice.push('Publish again to send the files that failed.');
                    finish('errors', 'Published with errors',
                                    'The site was published to ' + shown + ', but not all files arrived: ' + more,
                                    advice.join(' '), fatal ? fatal.note : '', failedFiles, indexSent);
                } else {
                    state.outcome = 'published';
                    finish('published', 'Published',
                                    'The site published successfully to ' + shown,
                                    sentCount === 0 ? 'Nothing had changed since the last publish.' :
                                    plural(sentCount, 'file', 'files') + ' sent.', '', [], indexSent);
                }
                if (state.outcome === 'published') {
                    writeUnfinishedRun(site, null);
                    rememberPublished(site, choice);
                } else {
                    if (state.closing)
                        note.end = 'closed';
                    else if (note.end !== 'closed')
                        note.end = state.outcome;
                    checkpoint(true);
                }
                A.fire('uploadFilesComplete', url ? key : '');
                runEnded(state);
            }
        });
        A.lastPublish = state;
        return true;
    };

    // Ends the run; `closing` when the window is to close once it has ended.
    function stopRun(closing) {
        if (!run || run.cancelled)
            return;
        run.cancelled = true;
        run.closing = closing === true;
        progress.hideError();
        $('#progress-file').textContent = 'Stopping…';
        $('#btn-progress-cancel').disabled = true;
        run.job.exit();
    }

    // --- a run that ends early is never silent

    var runQuestion = null;     // 'stop' or 'close' while the page asks about the run
    var closeAfterRun = null;   // closes the site and the window once the run has ended
    var closeAsked = null;      // the same, while the page asks whether to stop and close
    var CLOSE_WAIT_MS = 8000;   // a run that does not end in this time is left to the host

    function runSoFar(r) {
        var total = r.sent.length;
        var sent = r.status ? Object.keys(r.status).filter(function (d) { return r.status[d] === 'sent'; }).length : 0;
        return sent + ' of ' + plural(total, 'file', 'files') + ' sent';
    }

    // Escape during a run asks first; the Cancel buttons stop at once.
    function askStop() {
        if (!run || run.cancelled || runQuestion)
            return;
        runQuestion = 'stop';
        A.confirm({
            title: 'Stop publishing?',
            text: 'Publishing to ' + run.shown + ' is not finished: ' + runSoFar(run) + '. Stop now? What is not ' +
                  'sent yet stays unsent until you publish again.',
            yes: 'Stop publishing',
            no: 'Keep publishing',
            safeDefault: true
        }, function () {
            runQuestion = null;
            stopRun();
        }, function () {
            runQuestion = null;
        });
    }

    // A close request during a run: the window stays (the host counts close
    // requests and ends the program at the third unless the page answers) until
    // the user says whether to stop the run and close. True when it holds the close.
    A.holdClose = function (closeSite) {
        if (!run)
            return false;
        B.stopQuit();
        if (runQuestion === 'close')
            return true;
        if (runQuestion === 'stop')
            A.closeModal($('#confirm'));
        runQuestion = 'close';
        closeAsked = closeSite;
        var site = run.site;
        A.confirm({
            title: 'Stop publishing and close?',
            text: 'Publishing "' + (site.project.settings.title || 'this site') + '" to ' + run.shown +
                  ' is not finished: ' + runSoFar(run) + '. If you close now, the rest is not sent; the next ' +
                  'start says what is missing.',
            yes: 'Stop and close',
            no: 'Keep publishing',
            safeDefault: true
        }, function () {
            runQuestion = null;
            closeAsked = null;
            if (!run) {
                closeSite();
                return;
            }
            closeAfterRun = closeSite;
            var cut = run;
            stopRun(true);
            // A server that does not let go: note what is missing and close anyway;
            // the host cancels the run when it goes.
            setTimeout(function () {
                if (closeAfterRun !== closeSite)
                    return;
                closeAfterRun = null;
                if (run === cut)
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
        if (!cut || (cut.end !== 'running' && cut.end !== 'closed') || (run && A.samePath(run.site.folder, site.folder)))
            return;
        var missing = cut.notSentCount || 0;
        var closed = cut.end === 'closed';
        A.confirm({
            title: 'Publishing did not finish',
            text: 'Publishing "' + (cut.title || site.project.settings.title || 'this site') + '" to ' + cut.dest + ' ' +
                  (closed ? 'was stopped when the window was closed' : 'was cut off: the program ended while it ran') +
                  '. ' + missing + ' of ' + cut.total + ' files ' + (missing === 1 ? 'was' : 'were') + ' not ' +
                  (closed ? 'sent' : 'confirmed as sent') + (missing ? ': ' + firstNames(cut.notSent || [], missing) : '') +
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

    function runEnded(state) {
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
    }

    // --- the publish dialog

    var ftpItems = [];
    var ftpSelected = -1;
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

    function shownLocation(text) {
        return A.withoutPassword(text).replace(/\/$/, '');
    }

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

    function beginSiteChanges() {
        var list = storedLocations();
        var publishPath = null;
        B.getSettings('PublishSettings/PublishPath', function (v) { publishPath = v; });
        siteUndo = { target: list, origin: list.map(function (text, i) { return i; }), publishPath: publishPath };
    }

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
    function undoSiteChanges() {
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
    }

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
                    (item.text === selectShown || shownLocation(item.text) === shownLocation(selectShown)))
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
        return A.withoutPassword(locationText(loc)).replace(/\/$/, '');
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
        cancelTest('');
        var item = ftpItems[i];
        var loc = item ? A.parseLocation(item.text) : null;
        loc = loc || { scheme: 'ftp', host: '', port: '', user: '', pass: '' };
        $('#ftp-scheme').value = DEFAULT_PORTS[loc.scheme] ? loc.scheme : 'ftp';
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
        $('#btn-ftp-forget').disabled = !canForget || !item || !formLocation().host;
        A.show($('#ftp-plain-note'), !!item && scheme === 'ftp');
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
            ftpNote(shownLocation(text) + ' was already in the list: its entry now has these details.');
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

    function cancelTest(text) {
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
    }

    function testConnection() {
        var item = ftpItems[ftpSelected];
        if (!item)
            return;
        var token = ++testToken;
        var result = $('#ftp-test-result');
        var detail = $('#ftp-test-detail');
        var loc = formLocation();
        // Nothing to connect to: say so before anything connects.
        var wrongHost = hostProblem(loc);
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
        var server = 'the server ' + A.withoutPassword(locationText(loc)).replace(/^[a-z]+:\/\/([^@\/]*@)?/, '').replace(/\/$/, '');
        var identityBefore = rememberedIdentity(dest);
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
                    var identity = rememberedIdentity(dest);
                    detail.textContent = !identityBefore && identity ? learntIdentityText(server, identity) : '';
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
        undoSiteChanges();
        closeDialog();
    }

    function closeDialog() {
        cancelTest('');
        // An answer still awaited from the server is no longer wanted.
        checkToken++;
        showChecking('');
        A.closeModal($('#publish-dialog'));
    }

    function shownDestination(rec) {
        return rec.type === 'local' ? A.displayPath(rec.url) :
               shownLocation(rec.location) + '/' + String(rec.folder || '').replace(/^\/+/, '');
    }

    function firstNames(names, count) {
        var shown = names.slice(0, 3).join(', ');
        return count > 3 ? shown + ' and ' + (count - 3) + ' more' : shown;
    }

    // What the dialog says of this site's last run: a run that did not send every
    // file is shown as partial, and changes-only is offered to send the rest.
    function destinationNote(site, rec) {
        var cut = A.unfinishedRun(site);
        if (cut) {
            var missing = cut.notSentCount || 0;
            var text = cut.sent > 0 ?
                'The last run to ' + cut.dest + ' did not finish: ' + cut.sent + ' of ' + cut.total + ' files were sent, ' +
                plural(missing, 'file was', 'files were') + ' not (' + firstNames(cut.notSent || [], missing) +
                '). "Upload only files that changed" sends them.' :
                'The last run to ' + cut.dest + ' sent nothing.' +
                (rec && rec.published ? ' This site was last published whole to ' + shownDestination(rec.published) + '.' : '');
            return { text: text, changesOnly: cut.sent > 0 };
        }
        if (rec && rec.published)
            return { text: 'This site was last published to ' + shownDestination(rec.published) };
        return { text: 'This site has not been published yet: choose where to.' };
    }

    var dialogSite = null;      // { rec, drafts }: this site's folders, as the open dialog shows them

    // The folder of a server entry is this site's own: typed in this dialog, or
    // the one it published to there; empty when it has none.
    function showSiteFolder(item) {
        var shown = item ? shownLocation(item.text) : '';
        var value = '';
        if (item && dialogSite) {
            value = Object.prototype.hasOwnProperty.call(dialogSite.drafts, shown) ? dialogSite.drafts[shown] :
                    siteFolderOn(dialogSite.rec, shown);
        }
        $('#ftp-folder').value = value;
        // A server chosen answers "choose a server".
        if (item)
            A.show($('#publish-problem'), false);
    }

    function folderTyped() {
        var item = ftpItems[ftpSelected];
        if (item && dialogSite)
            dialogSite.drafts[shownLocation(item.text)] = $('#ftp-folder').value;
    }

    // The dialog offers the destination this site chose last, never another site's:
    // a site not yet published has no server and no folder chosen.
    A.openPublishDialog = function () {
        var site = A.currentSite();
        if (!site || run)
            return;
        var rec = A.siteDestination(site);
        beginSiteChanges();
        dialogSite = { rec: rec, drafts: {} };
        var server = rec && rec.server ? rec.server : null;
        loadFtpSites(server);
        ftpNote('');
        $('#local-folder').value = rec && rec.type === 'local' ? A.displayPath(rec.url) : '';
        if (server && !ftpItems.some(function (item) {
            return shownLocation(item.text) === shownLocation(server);
        })) {
            selectFtp(-1);
        }
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
            var item = ftpItems[ftpSelected];
            // Enter in a field confirms before the field reported its change.
            if (item && locationText(formLocation()) !== item.text) {
                ftpEdited();
                item = ftpItems[ftpSelected];
            }
            var loc = item && A.parseLocation(item.text);
            if (!loc) {
                problem('Choose a server, or add one and fill in its host.');
                return;
            }
            // The fields as typed: a malformed host has no faithful stored form.
            var wrongHost = hostProblem(formLocation());
            if (wrongHost) {
                problem(wrongHost);
                return;
            }
            // One spelling per folder: "www", "/www" and "www/" are the same destination.
            var ftpFolder = $('#ftp-folder').value.trim().replace(/^\/+|\/+$/g, '');
            B.regSetFtpFolder(ftpFolder);
            dest = A.destinationUrl(loc, ftpFolder);
            record = { type: 'ftp', location: shownLocation(item.text), folder: ftpFolder };
        } else {
            return;
        }
        var changesOnly = $('#opt-changes').checked;
        // Known before anything connects: the check of the server folder logs in too.
        var identityBefore = record.type === 'ftp' ? rememberedIdentity(dest) : '';
        function go(fresh) {
            closeDialog();
            if (record.type === 'local')
                writeRecentPublish(dest);
            rememberChoice(site, record);
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
            var found = publishedProjectOnServer(dest);
            // Closed meanwhile, or another site opened: nothing more to do.
            if (token !== checkToken || A.currentSite() !== site)
                return;
            showChecking('');
            // A refused log-in ends it here: the run would only send the
            // refused password again, and hosts lock accounts after a few.
            var refused = found && found.unknown ? lastRefusal(loc) : null;
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
        B.templating = templating;

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
            var loc = formLocation();
            // What is remembered, to compare with what the host publishes.
            var known = rememberedIdentity(locationText(loc));
            A.confirm({
                title: 'Forget the server\'s identity?',
                text: 'Do this only when you know ' + siteLabel(item) + ' was reinstalled or moved. The next ' +
                      'connection trusts the identity the server shows then.' +
                      (known ? ' Remembered identity: ' + known + '.' : ''),
                yes: 'Forget identity',
                no: 'Cancel',
                safeDefault: true
            }, function () {
                var ok = B.forgetFtpIdentity(locationText(loc));
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
            var known = Object.keys(DEFAULT_PORTS).some(function (k) { return DEFAULT_PORTS[k] === port; });
            if (!port || known)
                $('#ftp-port').value = scheme === 'ftps' && port === '990' ? '990' : DEFAULT_PORTS[scheme];
            ftpEdited();
        });
        $('#ftp-folder').addEventListener('keyup', function () { B.regSetFtpFolder($('#ftp-folder').value); });
        $('#ftp-folder').addEventListener('input', folderTyped);
        $('#btn-ftp-test').addEventListener('click', testConnection);
        $('#btn-ftp-test-cancel').addEventListener('click', function () {
            cancelTest('Test cancelled');
            $('#btn-ftp-test').focus();
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
        $('#btn-err-cancel').addEventListener('click', stopRun);
        $('#btn-progress-cancel').addEventListener('click', stopRun);
        $('#btn-done-close').addEventListener('click', progress.hide);
        $('#btn-open-index').addEventListener('click', openIndex);
    });
})();
