// Publishing: who published where; kept with each site and each destination.
(function () {
    'use strict';
    var B = window.Bridge, A = window.qlrApp;
    var P = A.publishing;

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
    P.rememberChoice = function (site, choice) {
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
    };

    P.rememberPublished = function (site, choice) {
        var rec = A.siteDestination(site);
        if (!rec)
            return;
        rec.published = destinationOnly(choice);
        writeSiteDestination(site, rec);
    };

    // The folder this site publishes to on a server entry; empty when none.
    P.siteFolderOn = function (rec, shown) {
        return rec && rec.servers && Object.prototype.hasOwnProperty.call(rec.servers, shown) ?
               String(rec.servers[shown] || '') : '';
    };

    // A run that did not send every file, kept with its site until one does:
    // { dest (no password), title, total, sent, notSent (the first names), notSentCount,
    //   end: 'running' (written at the start: the program ended during the run),
    //   'closed' (stopped to close the window), 'stopped', 'errors' or 'failed' }.
    A.unfinishedRun = function (site) {
        return readJsonSetting(settingsKey('PublishRun', site.folder));
    };

    P.writeUnfinishedRun = function (site, note) {
        B.setSettings(settingsKey('PublishRun', site.folder), note ? JSON.stringify(note) : '');
    };

    // The site that last wrote a destination (its URL without password).
    A.destinationOwner = function (key) {
        return readJsonSetting(settingsKey('PublishOwner', key));
    };

    P.rememberOwner = function (key, site) {
        B.setSettings(settingsKey('PublishOwner', key), JSON.stringify({
            id: A.siteId(site), title: site.project.settings.title || '', folder: site.folder
        }));
    };

    // The project file published in a local destination folder, or null.
    function publishedProjectAt(destUrl) {
        var file = destUrl.replace(/\/+$/, '') + '/' + P.PROJECT;
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
    P.publishedProjectOnServer = function (destUrl) {
        var text = '';
        B.getProject(destUrl.replace(/\/+$/, '') + '/' + P.PROJECT, function (t) { text = t ? String(t) : ''; });
        if (!text) {
            var reason = '';
            if (B.lastError)
                B.lastError(function (t) { reason = t; });
            return reason ? { unknown: reason } : null;
        }
        return A.parseProject(text) || { settings: {}, unreadable: true };
    };

    // What the host's last server call was refused for, explained: { kind, plain },
    // or null when it gave no reason.
    P.lastRefusal = function (loc) {
        var reason = '';
        if (B.lastError)
            B.lastError(function (t) { reason = t; });
        return reason ? A.explainError(reason, P.serverName(loc)) : null;
    };

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
})();
