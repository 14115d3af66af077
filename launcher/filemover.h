#pragma once

#include "result.h"

#include <QString>

// The launcher's file-mover mode: moves the tree below `source` into `dest`
// (overwriting, except the comma-separated relative paths in `ignore`), or with
// an empty `dest` deletes the tree and `source` itself. A failed entry does not
// stop the others; the result is the first failure.
//
// With a `listFile`, only the entries it names (relative to `source`) are moved
// or deleted, and folders that end up empty are removed. Before anything is
// touched the work is refused when it cannot be done safely: a pair of folders
// that overlap, a relative or empty path, an entry that leaves its folder or
// passes through a link on either side, or files that would not fit on the
// destination's file system. A file is replaced only by a whole new one.
Status moveFiles(QString source, QString dest, const QString &ignore, const QString &listFile = {});
