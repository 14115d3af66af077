#pragma once

#include "manifestcodec.h"
#include "testenvironment.h"

#include <QJsonObject>

// A patch folder below `serverRoot` whose manifest lists one file no game folder
// has: a check against it verifies and then offers an install.
inline bool publishMissingFile(const QString &serverRoot)
{
    return writeFile(serverRoot + QStringLiteral("/patch/checksums.txt.gz"),
                     encodeManifest({{QStringLiteral("data/world.pak"),
                                      QJsonObject{{"checksum", "0badc0de"}, {"size", 4}}}}));
}
