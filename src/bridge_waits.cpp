#include "bridge.h"

#include <QDebug>

#include "ftpcall.h"

Bridge::NestedWait::NestedWait(Bridge *bridge, bool remote)
    : bridge(bridge)
    , remote(remote)
{
    ++bridge->nestedWaits;
    if (remote)
        ++bridge->remoteWaits;
}

Bridge::NestedWait::~NestedWait()
{
    if (remote)
        --bridge->remoteWaits;
    if (--bridge->nestedWaits == 0 && bridge->reloadHeldBack) {
        // Queued: the main window rebuilds the page once the script that
        // waited has returned (and again holds it back should another wait
        // have begun by then).
        bridge->reloadHeldBack = false;
        emit bridge->needReload();
    }
}

bool Bridge::reloadMustWait()
{
    if (nestedWaits == 0)
        return false;
    reloadHeldBack = true;
    return true;
}

bool Bridge::refuseSecondRemoteCall()
{
    if (remoteWaits == 0)
        return false;
    errorText = tr("Another server call is still waiting for its answer. Try again once it has ended.");
    qDebug().noquote() << "remote call refused:" << errorText;
    return true;
}

bool Bridge::runFtpCall(FtpCall &call, const std::function<bool()> &job)
{
    if (refuseSecondRemoteCall())
        return false;
    NestedWait wait(this, true);
    runningCall = &call;
    const bool ok = job();
    runningCall = nullptr;
    errorText = ok ? QString() : call.errorString();
    return ok;
}

bool Bridge::cancelFtpCall()
{
    if (!runningCall)
        return false;
    runningCall->cancel();
    return true;
}
