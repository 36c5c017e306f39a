// Publishing: the texts the site is published as, the upload list and the
// changes-only hashes.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp;
    var P = A.publishing = {};      // what the publishing modules share

    var ASSET_ROOT = 'assets/quillary/';
    var CSS_NAME = 'qlr-additional.css';
    var CSS_DEST = ASSET_ROOT + 'css/' + CSS_NAME;
    var PROJECT = P.PROJECT = 'project.quillary';
    var HASHES = P.HASHES = 'publish-hashes.json';
    var PAGE_EXT = /^(html|htm|shtml|php|php3|php4|php5|cgi)$/;

    P.context = null;     // the site being published: { site, project, links }

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

    P.makeContext = function (site) {
        return { site: site, project: site.project, links: publishedLinks(A.collectAssets(site.folder)) };
    };

    function findPage(project, name) {
        for (var i = 0; i < project.pages.length; i++) {
            if (project.pages[i].name === name)
                return project.pages[i];
        }
        return null;
    }

    // The published text for a source of the upload list.
    function templating(path) {
        var ctx = P.context || (A.currentSite() && P.makeContext(A.currentSite()));
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
    P.entryHash = function (entry) {
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
    };

    P.loadHashes = function (folder) {
        var store = {};
        B.loadLocalFile(folder + '/' + HASHES, function (text) {
            try {
                store = JSON.parse(text) || {};
            } catch (e) {
                store = {};
            }
        });
        return typeof store === 'object' ? store : {};
    };

    A.on('load', function () {
        B.templating = templating;
    });
})();
