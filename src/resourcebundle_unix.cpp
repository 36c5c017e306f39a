#include "resourcebundle.h"

#include <QDebug>
#include <QResource>
#include <QString>

// The bytes of the collection, placed in the read-only data by the build.
extern "C" const unsigned char quillary_web_bundle_begin[];
extern "C" const unsigned char quillary_web_bundle_end[];

bool registerWebBundle()
{
    const auto size = quillary_web_bundle_end - quillary_web_bundle_begin;
    if (size <= 0) {
        qWarning() << "the program carries no web bundle";
        return false;
    }
    // The data stays mapped for the whole run, so Qt may point into it.
    const bool ok = QResource::registerResource(quillary_web_bundle_begin, QString());
    if (!ok)
        qWarning() << "the web bundle could not be registered";
    return ok;
}
