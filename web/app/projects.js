// Sites: open, show, edit the pages' HTML, save with a screenshot, recent sites.
(function () {
    'use strict';

    var B = window.Bridge;
    var A = window.qlrApp;
    var $ = A.$;
    var el = A.el;
    var PROJECT = 'project.quillary';
    var MAX_RECENTS = 20;

    var site = null;    // { folder, file, project, page }

    A.currentSite = function () {
        return site;
    };

    function folderOf(url) {
        return url.slice(0, url.lastIndexOf('/'));
    }

    function decoded(url) {
        try {
            return decodeURIComponent(url);
        } catch (e) {
            return url;
        }
    }

    // How a location is shown to the user: the plain path of a file URL.
    A.displayPath = function (url) {
        var text = decoded(String(url || ''));
        return text.replace(/^file:\/\//, '');
    };

    A.samePath = function (a, b) {
        return A.displayPath(a).replace(/\/+$/, '') === A.displayPath(b).replace(/\/+$/, '');
    };

    A.toFileUrl = function (path) {
        path = String(path || '');
        if (/^file:/.test(path))
            return path;
        if (path.charAt(0) === '/')
            return 'file://' + encodeURI(path).replace(/#/g, '%23').replace(/\?/g, '%3F');
        return path;
    };

    A.parseProject = function (text) {
        var project;
        try {
            project = JSON.parse(text);
        } catch (e) {
            return null;
        }
        if (!project || typeof project !== 'object' || Object.prototype.toString.call(project.pages) !== '[object Array]')
            return null;
        project.settings = project.settings || {};
        return project;
    };

    A.projectText = function (project) {
        return JSON.stringify(project, null, 2) + '\n';
    };

    function writeRecents(list) {
        B.saveLocalFile(B.dataLocation + '/recents.list', JSON.stringify(list, null, 1));
    }

    function addRecent(file, title) {
        B.getRecentsList(function (list) {
            // One entry per site folder, whatever its project file is called.
            var kept = list.filter(function (r) {
                return r && r.path && !A.samePath(folderOf(projectFileOf(r.path)), folderOf(file));
            });
            kept.unshift({ path: file, title: title || '', time: new Date().toISOString() });
            writeRecents(kept.slice(0, MAX_RECENTS));
            renderRecents(kept.slice(0, MAX_RECENTS));
        });
    }

    function projectFileOf(path) {
        return /\.(quillary|json)$/i.test(path) ? path : path.replace(/\/+$/, '') + '/' + PROJECT;
    }

    A.openSite = function (file, done, quiet) {
        file = projectFileOf(A.toFileUrl(file));
        B.loadLocalFile(file, function (text) {
            var project = A.parseProject(text);
            if (!project) {
                if (!quiet) {
                    var exists = true;
                    B.isExistsLocal(file, function (ok) { exists = ok; });
                    if (exists)
                        A.alert('The site could not be opened', A.displayPath(file) + ' is not a Quillary project file.');
                    else
                        A.alert('The site could not be opened', A.displayPath(file) +
                                ' does not exist: it was moved, renamed or deleted.');
                }
                if (done)
                    done(false);
                return;
            }
            // The edits of the site being left are kept.
            if (site && !writeProject())
                return;
            site = { folder: folderOf(file), file: file, project: project, page: 0 };
            addRecent(file, project.settings.title);
            render();
            A.fire('siteOpened', site);
            if (done)
                done(true);
        });
    };

    function commitEditor() {
        if (!site || !site.project.pages.length)
            return;
        var page = site.project.pages[site.page];
        page.title = $('#page-title').value;
        if (!$('#html-editor').hidden)
            page.html = $('#page-html').value;
    }

    // Writes the current site's project file; false, after telling the user, when it fails.
    function writeProject() {
        commitEditor();
        site.project.settings.modified = new Date().toISOString();
        var file = site.folder + '/' + PROJECT;
        var written = false;
        B.saveLocalFile(file, A.projectText(site.project), function (ok) { written = ok; });
        if (!written) {
            A.alert('The site could not be saved', 'Writing ' + A.displayPath(file) + ' failed.');
            return false;
        }
        if (site.file !== file) {
            site.file = file;
            addRecent(file, site.project.settings.title);
        }
        return true;
    }

    // Saves the project file, then the screenshot beside it; with feedback, says
    // "Saved" in the title bar or names the error there as well.
    A.saveSite = function (done, feedback) {
        done = done || function () {};
        if (!site) {
            if (feedback)
                A.status('No site is open', 'problem');
            done(true);
            return;
        }
        if (!writeProject()) {
            if (feedback)
                A.status('Not saved: writing the project file failed', 'problem');
            done(false);
            return;
        }
        if (feedback)
            A.status('Saved', 'ok');
        var answered = false;
        // A screenshot that never comes must not keep the site from closing.
        var timer = setTimeout(function () {
            answered = true;
            done(true);
        }, 5000);
        B.getScreen(function () {
            if (answered)
                return;
            answered = true;
            clearTimeout(timer);
            done(true);
        }, site.folder + '/screenshot.png');
    };

    // An entry of two lines: a name and a path below it.
    function drawEntry(li, name, path, title) {
        if (li.children.length !== 2) {
            A.clear(li);
            li.appendChild(el('span', { className: 'name' }));
            li.appendChild(el('span', { className: 'path' }));
        }
        A.setEntryText(li.children[0], name);
        A.setEntryText(li.children[1], path);
        if (title)
            li.title = title;
        else
            li.removeAttribute('title');
    }

    function renderRecents(list) {
        var current = -1;
        list.forEach(function (r, i) {
            if (current < 0 && site && A.samePath(folderOf(projectFileOf(r.path)), site.folder))
                current = i;
        });
        // Moving through the list opens nothing: Enter or a click does.
        A.fillList($('#recent-list'), list.length, {
            current: current,
            empty: 'No recent sites',
            activate: function (i) { openRecent(list[i]); },
            draw: function (li, i) {
                var r = list[i];
                var folder = A.displayPath(folderOf(projectFileOf(r.path)));
                drawEntry(li, r.title || folder.split('/').pop(), folder, A.displayPath(r.path));
            }
        });
    }

    function removeRecent(path) {
        B.getRecentsList(function (list) {
            var kept = list.filter(function (r) { return r && r.path !== path; });
            writeRecents(kept);
            renderRecents(kept);
        });
    }

    // A recent site that is gone says so and can be taken off the list.
    function openRecent(r) {
        var file = projectFileOf(r.path);
        B.isExistsLocal(file, function (exists) {
            if (exists) {
                A.openSite(file);
                return;
            }
            A.confirm({
                title: 'This site is gone',
                text: A.displayPath(folderOf(file)) + ' no longer holds this site: it was moved, renamed or deleted. ' +
                      'Remove it from the recent sites? Nothing is deleted from the disk.',
                yes: 'Remove from list',
                no: 'Keep'
            }, function () { removeRecent(r.path); });
        });
    }
    A.openRecent = openRecent;

    A.selectPage = function (index) {
        commitEditor();
        site.page = index;
        render();
    };

    function renderPreview() {
        var frame = $('#preview');
        var page = site.project.pages[site.page];
        var doc = frame.contentWindow.document;
        doc.open();
        doc.write(page ? A.previewHtml(site, page) : '<!DOCTYPE html><p>No pages.</p>');
        doc.close();
    }

    // A link between the site's pages, followed in the preview, leads to a file that
    // does not exist yet (pages are generated when published): show that page instead.
    function previewNavigated() {
        if (!site)
            return;
        var href = '';
        try {
            href = String(frame().contentWindow.location.href);
        } catch (e) {
            return;
        }
        if (!href || href === 'about:blank' || href === String(window.location.href))
            return;
        var name = decoded(href.split(/[?#]/)[0]);
        if (name.indexOf(decoded(site.folder) + '/') !== 0 && name.indexOf(A.displayPath(site.folder) + '/') !== 0)
            return;
        name = name.slice(name.lastIndexOf('/') + 1);
        for (var i = 0; i < site.project.pages.length; i++) {
            if (site.project.pages[i].name === name) {
                var at = i;
                setTimeout(function () { A.selectPage(at); }, 0);
                return;
            }
        }
    }

    function frame() {
        return $('#preview');
    }

    function render() {
        if (!site)
            return;
        var project = site.project;
        $('#site-title').textContent = project.settings.title || 'Untitled site';
        $('#site-folder').textContent = A.displayPath(site.folder);
        A.fillList($('#page-list'), project.pages.length, {
            current: site.page,
            selectOnMove: true,
            empty: 'No pages',
            activate: function (i) { A.selectPage(i); },
            draw: function (li, i) {
                var page = site.project.pages[i];
                drawEntry(li, page.title || page.name, page.name);
            }
        });
        var page = project.pages[site.page];
        $('#page-title').value = page ? page.title || '' : '';
        $('#page-file').textContent = page ? page.name : '';
        $('#page-html').value = page ? page.html || '' : '';
        renderPreview();
        B.getRecentsList(renderRecents);
    }
    A.renderSite = render;

    // A site for the first start: the starter shipped with the program.
    function createStarter() {
        var dest = B.docLocation + '/Quillary/My%20First%20Site';
        B.isExistsLocal(dest + '/' + PROJECT, function (exists) {
            if (exists) {
                A.openSite(dest + '/' + PROJECT);
                return;
            }
            B.copyLocal('web/starter', dest, function () {
                B.isExistsLocal(dest + '/' + PROJECT, function (copied) {
                    if (!copied) {
                        // Copy file by file when the folder copy could not read the bundle.
                        B.dirList('web/starter', function (files) {
                            files.forEach(function (rel) {
                                B.copyLocal('web/starter/' + rel, dest + '/' + rel);
                            });
                        });
                    }
                    A.openSite(dest + '/' + PROJECT);
                });
            });
        });
    }

    function openFirst(list, i) {
        if (i >= list.length) {
            createStarter();
            return;
        }
        var file = projectFileOf(list[i].path);
        B.isExistsLocal(file, function (exists) {
            if (!exists) {
                openFirst(list, i + 1);
                return;
            }
            A.openSite(file, function (ok) {
                if (!ok)
                    openFirst(list, i + 1);
            }, true);
        });
    }

    A.on('incomingFile', function (url) {
        var text = String(url || '');
        var ext = text.slice(text.lastIndexOf('.') + 1).toLowerCase();
        if (ext === 'json' || ext === 'quillary')
            A.openSite(text);
    });

    A.on('load', function () {
        function closeSite() {
            if (document.activeElement && document.activeElement.blur)
                document.activeElement.blur();
            A.saveSite(function (ok) {
                if (ok)
                    B.quit();
            });
        }
        B.unbind('close');
        B.bind('close', function () {
            // A publishing run holds the close: it asks, and closes the site itself.
            if (A.holdClose && A.holdClose(closeSite))
                return;
            closeSite();
        });

        function save() {
            // The fields being typed in are read as they stand; the focus stays where it is.
            A.saveSite(null, true);
        }
        function open() {
            B.runFileDialog('Open a site', site ? site.folder : B.docLocation,
                            'Quillary sites (*.quillary *.json)', function (url) {
                if (url)
                    A.openSite(url);
            });
        }
        $('#btn-save').addEventListener('click', save);
        $('#btn-open').addEventListener('click', open);
        A.on('saveRequested', save);
        A.on('openRequested', open);
        frame().addEventListener('load', previewNavigated);
        $('#btn-edit-html').addEventListener('click', function () {
            var editor = $('#html-editor');
            if (!editor.hidden)
                commitEditor();
            A.show(editor, editor.hidden);
            $('#btn-edit-html').textContent = editor.hidden ? 'Edit HTML' : 'Close HTML';
            if (!editor.hidden && site)
                $('#page-html').value = site.project.pages[site.page].html || '';
        });
        $('#btn-apply-html').addEventListener('click', function () {
            commitEditor();
            render();
        });
        $('#page-title').addEventListener('change', function () {
            commitEditor();
            render();
        });

        B.getArgs(function (args) {
            var arg = args && args[1];
            if (arg && /\.(quillary|json)$/i.test(arg)) {
                A.openSite(arg);
                return;
            }
            B.getRecentsList(function (list) {
                openFirst(list, 0);
            });
        });
    });
})();
